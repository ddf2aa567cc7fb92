/*
 * screenshot.mjs - docs/web-page.png: the page listing the generated demo
 * set of make_sample_installers (never real archives), names in code page 932.
 *
 * Usage: node screenshot.mjs <output.png>   (with build/ and build-web/ built)
 */
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

import { PAGE_DIR, giveFiles, launchBrowser, makeSamples, openPage, scratchDir } from './harness.mjs';

const output = process.argv[2];
const samples = scratchDir('screenshot');
makeSamples(samples);
const browser = await launchBrowser('UTC');
const { page } = await openPage(browser, pathToFileURL(path.join(PAGE_DIR, 'index.html')).href);
await page.setViewportSize({ width: 1000, height: 700 });
await giveFiles(page, ['_SETUP.1', '_SETUP.2', '_SETUP.3'].map((name) => path.join(samples, 'set', name)));
await page.selectOption('#codepage', 'shift_jis');
await page.check('#rows tr.folder[data-folder="Program"] input');
await page.screenshot({ path: output, fullPage: true });
await browser.close();
fs.rmSync(samples, { recursive: true, force: true });
