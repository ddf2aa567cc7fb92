/*
 * speed.mjs - the web page's speed figures, for people to read; nothing is
 * asserted.
 *
 *   1. The 64 MiB text member of make bench (literal mode 0, dictionary 6)
 *      taken out by the page, timed in its worker: reading its compressed
 *      bytes, and decoding them with every byte copied out of the wasm
 *      memory for the page; against native
 *      `varlix <archive> MEMBER.BIN /dev/null` (the whole process), run
 *      alternately in the same run. make web-bench prints the native
 *      decoder's in-process figure just before.
 *   2. Opening the real 3-volume set and listing it, from the files given
 *      to the table shown, when the set is there; median.
 *
 * Usage: node speed.mjs <bench-archive> [runs]   (make web-bench)
 */
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { REALDATA_DIR, giveFiles, launchBrowser, openPage, servePage, settled, tool } from './harness.mjs';

const [archive, runsText] = process.argv.slice(2);
const runs = Number(runsText || 5);
if (!archive || !fs.existsSync(archive)) {
  console.error('usage: node speed.mjs <bench-archive> [runs]');
  process.exit(1);
}
const MIB = 1048576;
const size = 64 * MIB;

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const rate = (seconds) => (size / seconds / 1e6).toFixed(0);

function nativeSeconds() {
  const started = process.hrtime.bigint();
  const result = spawnSync(tool('varlix'), [archive, 'MEMBER.BIN', '/dev/null']);
  if (result.status !== 0)
    throw new Error('varlix failed: ' + result.stderr);
  return Number(process.hrtime.bigint() - started) / 1e9;
}

/* The seconds the page's worker took to read, and to decode, the member. */
async function pageSeconds(page) {
  const [download] = await Promise.all([page.waitForEvent('download', { timeout: 120000 }),
    page.click('#rows tr.member .name')]);
  await settled(page);
  await download.delete();
  return page.evaluate(() => {
    const data = document.getElementById('message').dataset;
    return { read: Number(data.readSeconds), decode: Number(data.decodeSeconds) };
  });
}

const cpu = (fs.readFileSync('/proc/cpuinfo', 'utf8').match(/model name\s*:\s*(.*)/) || [])[1];
const chromium = spawnSync(process.env.CHROMIUM || '/usr/bin/chromium', ['--version'],
  { encoding: 'utf8' }).stdout.trim();
console.log(`machine: ${os.cpus().length} CPUs, ${cpu}; ${chromium}`);
console.log(`load average before: ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);

const server = await servePage();
const browser = await launchBrowser('UTC');
const { page: pageInUse } = await openPage(browser, server.url);
await giveFiles(pageInUse, [archive]);
await pageSeconds(pageInUse); /* the first run compiles and warms the decoder */

const native = [], whole = [], decode = [];
for (let i = 0; i < runs; ++i) {
  native.push(nativeSeconds());
  const page = await pageSeconds(pageInUse);
  whole.push(page.read + page.decode);
  decode.push(page.decode);
}
const row = (label, values) => {
  const m = median(values), b = Math.min(...values);
  console.log(`  ${label.padEnd(36)}${m.toFixed(3)} s ${rate(m).padStart(5)} MB/s` +
    `   ${b.toFixed(3)} s ${rate(b).padStart(5)} MB/s`);
};
console.log(`\n64 MiB text member, ${path.basename(archive)}, ${runs} runs, alternately`);
console.log(`  ${''.padEnd(36)}median               best`);
row('native varlix, whole process', native);
row('page: read and decode', whole);
row('page: decode alone', decode);
console.log(`  page / native speed, whole:         ${(median(native) / median(whole)).toFixed(2)}` +
  `                  ${(Math.min(...native) / Math.min(...whole)).toFixed(2)}`);

const set = ['_SETUP.1', '_SETUP.2', '_SETUP.3'].map((name) => path.join(REALDATA_DIR, 'set', name));
if (set.every((file) => fs.existsSync(file))) {
  const times = [];
  for (let i = 0; i < runs; ++i) {
    const started = performance.now();
    await giveFiles(pageInUse, set);
    times.push((performance.now() - started) / 1000);
  }
  const members = await pageInUse.$$eval('#rows tr.member', (rows) => rows.length);
  console.log(`\nreal 3-volume set opened and listed (${members} members): median of ${runs} ` +
    `${median(times).toFixed(3)} s, slowest ${Math.max(...times).toFixed(3)} s`);
} else {
  console.log('\nthe real set is not in ' + REALDATA_DIR + ': its opening time is not measured');
}
console.log(`load average after: ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);

await browser.close();
await server.close();
