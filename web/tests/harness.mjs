/*
 * harness.mjs - what the browser tests and the speed figures share: the
 * built page served from 127.0.0.1 with a log of every request, headless
 * Chromium with a fresh profile, the page driven as a user would, and the
 * command line tools run on the same inputs.
 */
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { chromium } from 'playwright-core';
import { unzipSync } from 'fflate';

const here = path.dirname(fileURLToPath(import.meta.url));
export const SOURCE_DIR = process.env.VARLIX_SOURCE_DIR || path.resolve(here, '../..');
export const PAGE_DIR = process.env.VARLIX_WEB_DIR || path.join(SOURCE_DIR, 'build-web');
export const BUILD_DIR = process.env.VARLIX_BUILD_DIR || path.join(SOURCE_DIR, 'build');
export const REALDATA_DIR = process.env.VARLIX_REALDATA_DIR ||
  path.join(SOURCE_DIR, '..', 'shared', 'realdata');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';

export function scratchDir(name) {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'varlix-web-' + name + '-'));
}

/* ---- the command line tools ---- */

export function tool(name) {
  return path.join(BUILD_DIR, name);
}

/* Runs a program; its exit status, standard output and standard error. */
export function run(program, args, options = {}) {
  const result = spawnSync(program, args, { encoding: 'utf8', ...options });
  if (result.error)
    throw result.error;
  return { status: result.status, stdout: result.stdout, stderr: result.stderr };
}

/* varlix-unpack, the command whose output the page must match. */
export const UNPACK = process.env.VARLIX_UNPACK || tool('varlix-unpack');

export function makeSamples(dir, largeMib) {
  const args = [dir].concat(largeMib ? ['--large-mib', String(largeMib)] : []);
  execFileSync(tool('tools/make_sample_installers'), args);
}

/* Every file under @dir by its path relative to @dir, with '/' between parts. */
export function filesUnder(dir) {
  const files = new Map();
  const walk = (sub) => {
    for (const entry of fs.readdirSync(path.join(dir, sub), { withFileTypes: true })) {
      const relative = sub ? sub + '/' + entry.name : entry.name;
      if (entry.isDirectory())
        walk(relative);
      else
        files.set(relative, fs.statSync(path.join(dir, relative)));
    }
  };
  walk('');
  return files;
}

/* The zip's members by name: their bytes, and date and attributes from the central directory. */
export function readZip(bytes) {
  const info = new Map();
  const data = unzipSync(bytes, { filter: (file) => { info.set(file.name, file); return true; } });
  const entries = new Map();
  for (const [name, file] of info)
    entries.set(name, { bytes: data[name], mtime: file.mtime, attrs: file.attrs });
  return entries;
}

/* ---- the page, served ---- */

/* A static server of the built page that notes every request it receives. */
export async function servePage() {
  const requests = [];
  const server = http.createServer((request, response) => {
    requests.push(request.url);
    const name = decodeURIComponent(new URL(request.url, 'http://x').pathname).replace(/^\/+/, '');
    const file = path.join(PAGE_DIR, name || 'index.html');
    if (!file.startsWith(PAGE_DIR + path.sep) || !fs.existsSync(file)) {
      response.writeHead(404).end();
      return;
    }
    const type = file.endsWith('.html') ? 'text/html; charset=utf-8' : 'text/plain; charset=utf-8';
    response.writeHead(200, { 'Content-Type': type }).end(fs.readFileSync(file));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    url: 'http://127.0.0.1:' + server.address().port + '/',
    requests,
    close: () => new Promise((resolve) => server.close(resolve))
  };
}

/* ---- the browser ---- */

export const BROWSER_FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

/*
 * Headless Chromium with a fresh profile, in the time zone @timeZone: DOS
 * dates are local times, and a zone far from UTC shows a confusion of the two.
 */
export async function launchBrowser(timeZone) {
  const profile = scratchDir('profile');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: BROWSER_FLAGS,
    acceptDownloads: true,
    env: { ...process.env, TZ: timeZone }
  });
  return {
    context,
    close: async () => {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    }
  };
}

/* A page at @url, with the errors it throws and the requests it makes noted. */
export async function openPage(browser, url) {
  const page = await browser.context.newPage();
  const notes = { errors: [], requests: [] };
  page.on('pageerror', (error) => notes.errors.push(error.message));
  page.on('request', (request) => notes.requests.push(request.url()));
  await page.goto(url);
  return { page, notes };
}

export async function settled(page) {
  await page.waitForFunction(() => !document.body.hasAttribute('aria-busy'), null,
    { timeout: 120000 });
}

/* Gives files as the file dialog would, and waits for the page to have opened them. */
export async function giveFiles(page, paths) {
  await page.setInputFiles('#file-input', paths);
  await settled(page);
}

export async function message(page) {
  return page.evaluate(() => {
    const box = document.getElementById('message');
    return box.hidden ? '' : box.textContent;
  });
}

/* The member rows shown: path as the page shows it ('\' between parts), note, state. */
export async function memberRows(page) {
  return page.$$eval('#rows tr.member', (rows) => rows.map((row) => ({
    path: row.dataset.path,
    note: row.querySelector('.note') ? row.querySelector('.note').textContent : '',
    unavailable: row.classList.contains('unavailable'),
    damaged: row.classList.contains('damaged')
  })));
}

/* Clicks @selector and returns the bytes of the download it starts. */
export async function download(page, selector) {
  const [started] = await Promise.all([page.waitForEvent('download', { timeout: 120000 }),
    page.click(selector)]);
  const bytes = fs.readFileSync(await started.path());
  await settled(page);
  return { name: started.suggestedFilename(), bytes };
}
