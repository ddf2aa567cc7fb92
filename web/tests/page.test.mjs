/*
 * The web page in headless Chromium, against the command line tools: the
 * listing, the zip, the folder it saves to, the messages for damaged members
 * and bad input, a large member, the network after load, and archives made
 * to be awkward: a large tree, deep folders, paths at the length limit,
 * names holding HTML, false claims. Timings are printed, not asserted.
 *
 * Run by make web-check: node --test page.test.mjs, with the page built in
 * build-web/ and the native tools in build/.
 */
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import {
  BUILD_DIR, PAGE_DIR, REALDATA_DIR, SOURCE_DIR, UNPACK, download, filesUnder, giveFiles,
  launchBrowser, makeSamples, memberRows, message, openPage, readZip, run, scratchDir,
  servePage, settled, tool
} from './harness.mjs';

/* Far from UTC and without summer time: a DOS time read as UTC would be 9 hours off. */
const TIME_ZONE = 'Asia/Tokyo';
process.env.TZ = TIME_ZONE;

const LARGE_MIB = 100;
let samples, server, browser;

before(async () => {
  samples = scratchDir('samples');
  makeSamples(samples, LARGE_MIB);
  server = await servePage();
  browser = await launchBrowser(TIME_ZONE);
});

after(async () => {
  await browser.close();
  await server.close();
  fs.rmSync(samples, { recursive: true, force: true });
});

const sample = (name) => path.join(samples, name);
const SET = ['_SETUP.1', '_SETUP.2', '_SETUP.3'].map((name) => sample('set/' + name));

/* ---- the command's view of the same inputs ---- */

/* varlix-unpack's extraction of @archive: its folder, files, messages and exit status. */
function unpack(archive, args = []) {
  const dir = path.join(scratchDir('unpack'), 'out');
  const result = run(UNPACK, ['-d', dir, ...args, archive], { env: { ...process.env, TZ: TIME_ZONE } });
  const exists = fs.existsSync(dir);
  return { ...result, dir, files: exists ? filesUnder(dir) : new Map() };
}

/* varlix-unpack's listing of the members @patterns select: path with '/' between parts, volumes. */
function listing(archive, args = [], patterns = []) {
  const result = run(UNPACK, ['--list', '--json', ...args, archive, ...patterns]);
  assert.equal(result.status, 0, result.stderr);
  return JSON.parse(result.stdout).members.map((member) => ({
    path: member.path.replaceAll('\\', '/'), volumes: member.volumes
  }));
}

/* What varlix says of a file it cannot list: the reason after the path. */
function commandReason(file) {
  const result = run(tool('varlix'), ['--list', file]);
  assert.notEqual(result.status, 0);
  const line = result.stderr.trim();
  assert.ok(line.startsWith(file + ': '), line);
  return line.substring(file.length + 2);
}

const slashes = (rows) => rows.map((row) => row.path.replaceAll('\\', '/'));
const sorted = (list) => [...list].sort();
const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

/*
 * The zip's file members are the command's files, byte for byte, date for
 * date; a file the command dated when it wrote it, as it dates a member
 * with no recorded time, is dated in the zip between @since (less the 2 s
 * a zip's time is rounded by) and now.
 */
function assertSameFiles(zip, command, since = null) {
  const names = [...zip.keys()].filter((name) => !name.endsWith('/'));
  assert.deepEqual(sorted(names), sorted(command.files.keys()));
  for (const [name, stat] of command.files) {
    const entry = zip.get(name);
    const expected = fs.readFileSync(path.join(command.dir, name));
    assert.ok(Buffer.from(entry.bytes).equals(expected), name + ': bytes differ');
    if (since !== null && stat.mtime >= since) {
      const at = entry.mtime.getTime();
      assert.ok(at >= since.getTime() - 2000 && at <= Date.now() + 2000,
        `${name}: dated ${entry.mtime.toISOString()}, not when it was written`);
    } else {
      assert.equal(entry.mtime.getTime(), stat.mtime.getTime(), name + ': date differs');
    }
    assert.equal((entry.attrs & 1) === 1, (stat.mode & 0o200) === 0, name + ': read-only differs');
  }
}

async function served() {
  return openPage(browser, server.url);
}

/* ---- tests ---- */

test('the page opened from disk lists a dropped demo archive, sorts it, names its version, fits a narrow window',
  async () => {
    const { page, notes } = await openPage(browser, pathToFileURL(path.join(PAGE_DIR, 'index.html')).href);
    const demo = path.join(SOURCE_DIR, 'examples/demo.z');
    const dropped = await page.evaluateHandle((bytes) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(bytes)], 'demo.z'));
      return transfer;
    }, [...fs.readFileSync(demo)]);
    await page.dispatchEvent('main', 'drop', { dataTransfer: dropped });
    await settled(page);

    const listed = run(tool('varlix'), ['--list', demo]).stdout.split('\n').slice(1)
      .filter(Boolean).map((line) => {
        const [, name, size] = line.match(/^\s+(\S+)\s+offset.*expands to\s+(\d+)$/);
        return { name, size: Number(size) };
      });
    const rows = await page.$$eval('#rows tr.member', (all) => all.map((row) => ({
      name: row.dataset.path, size: Number(row.cells[2].textContent.replace(/\D/g, ''))
    })));
    assert.deepEqual(sorted(rows.map(JSON.stringify)), sorted(listed.map(JSON.stringify)));
    const sizes = () => page.$$eval('#rows tr.member td.number:not(.wide)',
      (cells) => cells.map((cell) => Number(cell.textContent.replace(/\D/g, ''))));
    await page.click('th[data-key="size"] button');
    assert.deepEqual(await sizes(), listed.map((m) => m.size).sort((a, b) => a - b));
    await page.click('th[data-key="size"] button');
    assert.deepEqual(await sizes(), listed.map((m) => m.size).sort((a, b) => b - a));

    const header = fs.readFileSync(path.join(BUILD_DIR, 'generated/varlix_version.h'), 'utf8');
    assert.equal(await page.textContent('#version'),
      header.match(/#define VARLIX_VERSION "([^"]+)"/)[1]);
    assert.equal(await page.getAttribute('a[href="README.md"]', 'href'), 'README.md');
    assert.ok(fs.existsSync(path.join(PAGE_DIR, 'README.md')));

    await page.setViewportSize({ width: 360, height: 640 });
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= innerWidth &&
      document.querySelector('.table-box').scrollWidth <= innerWidth));
    assert.ok(await page.isVisible('#rows tr.member .name'));
    assert.ok(!(await page.isVisible('#rows tr.member td.volumes')));
    assert.deepEqual(notes.errors, []);
    await page.close();
  });

test('the set is listed as a tree whose names follow the code page, and filtered as the command matches',
  async () => {
    const { page } = await served();
    await giveFiles(page, SET);
    assert.match(await page.textContent('#volume-facts'), /3 volumes: _SETUP\.1, _SETUP\.2, _SETUP\.3$/);
    const western = slashes(await memberRows(page));

    await page.selectOption('#codepage', 'shift_jis');
    const japanese = slashes(await memberRows(page));
    const expected = listing(SET[0], ['--codepage', 'CP932']).map((member) => member.path);
    assert.deepEqual(sorted(japanese), sorted(expected));
    assert.notDeepEqual(sorted(western), sorted(japanese));
    assert.ok(japanese.includes('ソフト/表示/PALETTE.PAL'));

    for (const pattern of ['*.txt', 'program\\help\\*', 'PROGRAM/*', 'データ/MAP0[2-9].DAT', '?????.*',
      '*/[!mp]*', '[^r]*[a-f]?.*']) {
      await page.fill('#filter', pattern);
      const matched = listing(SET[0], ['--codepage', 'CP932'], [pattern]).map((m) => m.path);
      assert.deepEqual(sorted(slashes(await memberRows(page))), sorted(matched), pattern);
    }
    await page.close();
  });

test('download all, or selected, gives a zip with the folders, bytes, dates, read-only flags varlix-unpack writes',
  async () => {
    const { page } = await served();
    await giveFiles(page, SET);
    await page.selectOption('#codepage', 'shift_jis');
    const zip = await download(page, '#download-all');
    assert.equal(zip.name, '_SETUP.zip');
    const entries = readZip(zip.bytes);
    const command = unpack(SET[0], ['--codepage', 'CP932']);
    assert.equal(command.status, 0, command.stderr);
    assertSameFiles(entries, command);
    const folders = [...entries.keys()].filter((name) => name.endsWith('/'));
    assert.deepEqual(sorted(folders), ['Program/', 'Program/Help/', 'Shared/', 'ソフト/',
      'ソフト/表示/', 'データ/']);

    await page.check('#rows tr.folder[data-folder="Program"] input');
    const selected = readZip((await download(page, '#download-selected')).bytes);
    command.files = new Map([...command.files].filter(([name]) => name.startsWith('Program/')));
    assertSameFiles(selected, command);
    await page.close();
  });

test('a missing volume is named and exactly the members that need it are marked, though the whole set was open before',
  async () => {
    const { page } = await served();
    await giveFiles(page, SET);
    await giveFiles(page, SET.slice(0, 2));
    assert.match(await page.textContent('#volume-facts'), /_SETUP\.3 \(missing\)/);
    await page.selectOption('#codepage', 'shift_jis');
    const rows = await memberRows(page);
    const needy = listing(SET[0], ['--codepage', 'CP932'])
      .filter((member) => member.volumes.includes(3)).map((member) => member.path);
    assert.deepEqual(sorted(slashes(rows.filter((row) => row.unavailable))), sorted(needy));
    for (const row of rows.filter((r) => r.unavailable))
      assert.match(row.note, /_SETUP\.3/);
    await page.close();
  });

test('damaged members show the command\'s reasons and are left out of the zip, named in ERRORS.txt',
  async () => {
    const { page } = await served();
    await giveFiles(page, [sample('damaged.z')]);
    const command = unpack(sample('damaged.z'));
    assert.notEqual(command.status, 0);
    const failing = ['BROKEN.DAT', 'SHORT.TXT'];
    for (const name of failing) {
      await page.click(`#rows tr.member[data-path="${name}"] .name`);
      await settled(page);
      const row = (await memberRows(page)).find((r) => r.path === name);
      assert.ok(row.damaged);
      const line = command.stderr.split('\n').find((l) => l.includes(name));
      assert.ok(line && line.endsWith(': ' + row.note), `${line} / ${row.note}`);
      assert.equal(await message(page), name + ': ' + row.note);
    }

    const entries = readZip((await download(page, '#download-all')).bytes);
    const errors = new TextDecoder().decode(entries.get('ERRORS.txt').bytes);
    entries.delete('ERRORS.txt');
    assertSameFiles(entries, command);
    for (const name of failing) {
      const row = (await memberRows(page)).find((r) => r.path === name);
      assert.ok(errors.includes(name + ': ' + row.note + '\r\n'), errors);
    }
    await page.close();
  });

test('unsafe and clashing names are left out of the zip for the reasons varlix-unpack gives',
  async () => {
    const { page } = await served();
    await giveFiles(page, [sample('hostile.z')]);
    const entries = readZip((await download(page, '#download-all')).bytes);
    const errors = new TextDecoder().decode(entries.get('ERRORS.txt').bytes).split('\r\n')
      .slice(1).filter(Boolean);
    entries.delete('ERRORS.txt');
    const command = unpack(sample('hostile.z'));
    assertSameFiles(entries, command);
    assert.equal(errors.length, (await memberRows(page)).length - command.files.size);
    const said = command.stderr.split('\n');
    for (const line of errors)
      assert.ok(said.includes(line), line + ' is not among\n' + command.stderr);
    await page.close();
  });

test('bad input gets one clear message, the command\'s reason, and leaves what was open working',
  async () => {
    const { page, notes } = await served();
    const demoPath = path.join(SOURCE_DIR, 'examples/demo.z');
    await giveFiles(page, [demoPath]);
    const demo = fs.readFileSync(demoPath);
    const png = Buffer.concat([Buffer.from('89504e470d0a1a0a0000000d49484452', 'hex'),
      Buffer.alloc(300, 7)]);
    const inputs = { 'picture.png': png, 'cut-in-header.z': demo.subarray(0, 100),
      'cut-in-directory.z': demo.subarray(0, 1000), 'empty.z': Buffer.alloc(0) };
    const dir = scratchDir('bad');
    for (const [name, bytes] of Object.entries(inputs)) {
      const file = path.join(dir, name);
      fs.writeFileSync(file, bytes);
      await giveFiles(page, [file]);
      assert.equal(await message(page), name + ': ' + commandReason(file));
    }
    const readme = await download(page, '#rows tr.member[data-path="README.TXT"] .name');
    const expected = path.join(dir, 'README.TXT');
    assert.equal(run(tool('varlix'), [demoPath, 'README.TXT', expected]).status, 0);
    assert.ok(readme.bytes.equals(fs.readFileSync(expected)));
    assert.deepEqual(notes.errors, []);
    await page.close();
  });

test(`a ${LARGE_MIB} MiB member decodes in the worker while the page keeps running, or is cancelled`,
  async () => {
    const { page } = await served();
    await giveFiles(page, [sample('large.z')]);
    await page.evaluate(() => {
      document.querySelector('#rows tr.member .name').click();
      document.getElementById('cancel').click();
    });
    await settled(page);
    assert.equal(await message(page), 'Cancelled.');
    /* The page's own thread notes its timer ticks and the progress bar while the member decodes. */
    await page.evaluate(() => {
      window.seen = { ticks: 0, progress: new Set() };
      setInterval(() => {
        window.seen.ticks += document.body.hasAttribute('aria-busy') ? 1 : 0;
        const value = document.getElementById('progress').value;
        if (value > 0 && value < 1)
          window.seen.progress.add(value);
      }, 20);
    });
    const file = await download(page, '#rows tr.member .name');
    const seen = await page.evaluate(() => ({ ticks: window.seen.ticks,
      progress: window.seen.progress.size }));
    assert.ok(seen.ticks >= 3, `the page's timer ran ${seen.ticks} times`);
    assert.ok(seen.progress >= 2, `${seen.progress} progress values seen`);
    const command = unpack(sample('large.z'));
    assert.equal(sha256(file.bytes), sha256(fs.readFileSync(path.join(command.dir, 'LARGE.BIN'))));
    await page.close();
  });

/* The origin's private file system, emptied, stands in for the folder the user would pick. */
async function pickPrivateFolder(page) {
  await page.evaluate(async () => {
    const root = await navigator.storage.getDirectory();
    for await (const name of root.keys())
      await root.removeEntry(name, { recursive: true });
    window.showDirectoryPicker = async () => root;
  });
}

/* The SHA-256 of every file in the origin's private file system, by path. */
async function savedFiles(page) {
  return page.evaluate(async () => {
    const files = {};
    const walk = async (folder, prefix) => {
      for await (const [name, handle] of folder.entries()) {
        if (handle.kind === 'directory') {
          await walk(handle, prefix + name + '/');
        } else {
          const bytes = await (await handle.getFile()).arrayBuffer();
          const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
          files[prefix + name] = Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
        }
      }
    };
    await walk(await navigator.storage.getDirectory(), '');
    return files;
  });
}

const digests = (command) => Object.fromEntries([...command.files.keys()].map((name) =>
  [name, sha256(fs.readFileSync(path.join(command.dir, name)))]));

test('save to folder writes the files varlix-unpack writes and replaces none', async () => {
  const { page } = await served();
  await pickPrivateFolder(page);
  await giveFiles(page, SET);
  await page.selectOption('#codepage', 'shift_jis');
  await page.click('#save-to-folder');
  await settled(page);
  const command = unpack(SET[0], ['--codepage', 'CP932']);
  assert.deepEqual(await savedFiles(page), digests(command));

  await page.click('#save-to-folder');
  await settled(page);
  assert.match(await message(page), new RegExp(`^0 members saved.*Left out, ${command.files.size}:`, 's'));
  await page.close();
});

test('no request leaves the page once it has loaded', async () => {
  const { page, notes } = await served();
  const loaded = { server: server.requests.length, page: notes.requests.length };
  await giveFiles(page, SET);
  await page.selectOption('#codepage', 'shift_jis');
  await download(page, '#download-all');
  await download(page, '#rows tr.member .name');
  await page.waitForTimeout(500);
  const after = notes.requests.slice(loaded.page).filter((url) => !url.startsWith('blob:'));
  assert.deepEqual(after, []);
  assert.deepEqual(server.requests.slice(loaded.server), []);
  await page.close();
});

/* ---- hostile and large archives ---- */

const seconds = (since) => (performance.now() - since) / 1000;
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

/* A fresh page given @file: the page, what it noted, and the seconds from the files given to the table. */
async function listedFresh(file) {
  const opened = await served();
  const started = performance.now();
  await giveFiles(opened.page, [file]);
  return { ...opened, seconds: seconds(started) };
}

/* The median of 3 listings on fresh pages; the 2-member archive's, measured once, to compare. */
async function medianListing(file) {
  const times = [];
  for (let run = 0; run < 3; ++run) {
    const { page, seconds: taken } = await listedFresh(file);
    times.push(taken);
    await page.close();
  }
  return median(times);
}

let pairListing = null;
const listingAgainstPair = async (file) => {
  pairListing = pairListing || await medianListing(sample('pair.z'));
  const taken = await medianListing(file);
  return `listed in ${taken.toFixed(3)} s, median of 3 fresh pages, against ` +
    `${pairListing.toFixed(3)} s for 2 members (ratio ${(taken / pairListing).toFixed(2)})`;
};

async function timedDownload(page, selector) {
  const started = performance.now();
  const zip = await download(page, selector);
  return { ...zip, seconds: seconds(started) };
}

/* Nothing was thrown, and the controls still answer: a sort, and Download all's button. */
async function assertStillAnswers(page, notes) {
  for (const order of ['ascending', 'descending']) {
    await page.click('th[data-key="size"] button', { timeout: 10000 });
    assert.equal(await page.getAttribute('th[data-key="size"]', 'aria-sort'), order);
  }
  assert.ok(await page.isEnabled('#download-all', { timeout: 10000 }));
  assert.deepEqual(notes.errors, []);
}

/* Scrolls to the last row drawn until every row is drawn; the member rows then. */
async function drawEveryRow(page) {
  while (await page.evaluate(() => {
    const more = document.querySelector('#rows tr.more');
    if (more)
      more.scrollIntoView();
    return more !== null;
  }));
  return memberRows(page);
}

const errorLines = (entries, name = 'ERRORS.txt') =>
  new TextDecoder().decode(entries.get(name).bytes).split('\r\n').slice(1).filter(Boolean);

test('4,096 members in 4,000 folders are listed and zipped about as fast as 2, and every one is drawn, filtered and selected',
  async (t) => {
    const listed = await listingAgainstPair(sample('tree.z'));
    const { page, notes } = await listedFresh(sample('tree.z'));
    const all = await timedDownload(page, '#download-all');
    t.diagnostic(`${listed}; Download all ${all.seconds.toFixed(3)} s`);
    const entries = readZip(all.bytes);
    const command = unpack(sample('tree.z'));
    assert.equal(command.status, 0, command.stderr);
    assertSameFiles(entries, command);
    /* A zip holds a folder once whatever the case of its letters, as a file system may. */
    const folders = new Set([...command.files.keys()].flatMap((name) => {
      const parts = name.toLowerCase().split('/');
      return parts.slice(1).map((part, k) => parts.slice(0, k + 1).join('/') + '/');
    }));
    assert.deepEqual(sorted([...entries.keys()].filter((name) => name.endsWith('/'))
      .map((name) => name.toLowerCase())), sorted(folders));

    assert.ok((await memberRows(page)).length < 4096, 'the rows are drawn as they come into view');
    const rows = await drawEveryRow(page);
    assert.deepEqual(sorted(slashes(rows)), sorted(command.files.keys()));
    assert.equal(await page.$$eval('#rows tr.folder', (folders) => folders.length), 4000);

    const pattern = 'a/*/M36?9.DAT';
    const matched = listing(sample('tree.z'), [], [pattern]).map((member) => member.path);
    await page.fill('#filter', pattern);
    assert.equal(await page.textContent('#match-count'), `${matched.length} of 4096 members match`);
    await page.check('#select-shown');
    const selected = readZip((await download(page, '#download-selected')).bytes);
    assert.deepEqual(sorted(selected.keys()), sorted(matched));
    await assertStillAnswers(page, notes);
    await page.close();
  });

for (const parts of [21000, 32700]) {
  test(`a folder ${parts} parts deep is listed, filtered and zipped, its member left out as too long`,
    async (t) => {
      const file = sample(`deep-${parts}.z`);
      const listed = await listingAgainstPair(file);
      const { page, notes } = await listedFresh(file);
      const all = await timedDownload(page, '#download-all');
      t.diagnostic(`${listed}; Download all ${all.seconds.toFixed(3)} s`);
      const entries = readZip(all.bytes);
      const deepPath = listing(file).find((member) => member.path.endsWith('/DEEP.TXT')).path;
      assert.equal(deepPath.split('/').length, parts + 1);
      assert.deepEqual(errorLines(entries), [deepPath + ': unsafe path (too long), skipped']);
      const top = path.join(scratchDir('deep'), 'TOP.TXT');
      assert.equal(run(tool('varlix'), [file, 'TOP.TXT', top]).status, 0);
      assert.deepEqual(sorted(entries.keys()), ['ERRORS.txt', 'TOP.TXT']);
      assert.ok(Buffer.from(entries.get('TOP.TXT').bytes).equals(fs.readFileSync(top)));
      assert.ok((await message(page)).length < 2000, 'the message shows the long path in part');

      await page.fill('#filter', 'top.txt');
      assert.deepEqual(slashes(await memberRows(page)), ['TOP.TXT']);
      await page.fill('#filter', '*/deep.txt');
      assert.equal(await page.textContent('#match-count'), '1 of 2 members match');
      await page.fill('#filter', '');
      await page.click('#rows tr.folder .toggle');
      assert.deepEqual(slashes(await memberRows(page)), ['TOP.TXT']);
      await page.click('#rows tr.folder .toggle');
      assert.ok(await page.$$eval('#rows tr.folder', (folders) => folders.length) > 1);
      await assertStillAnswers(page, notes);
      await page.close();
    });
}

test('paths at the longest the command allows, and names of its temporary files\' form, are left out as it leaves them',
  async () => {
    const TEMPORARY = "a name of the form varlix-unpack's temporary files take";
    const expected = { 'PARTS128.TXT': null, 'PARTS129.TXT': 'too long', '..': "a '..' part",
      ['n'.repeat(220)]: null, ['n'.repeat(221)]: 'too long', ['w'.repeat(221)]: 'too long',
      '.varlix-unpack-12-3.tmp': TEMPORARY, '.VARLIX-UNPACK-.TMP': TEMPORARY,
      '.varlix-unpack.tmp': null, '.varlix-unpack-1.tmp.txt': null };
    const { page, notes } = await listedFresh(sample('limits.z'));
    const entries = readZip((await download(page, '#download-all')).bytes);
    const errors = errorLines(entries);
    const command = unpack(sample('limits.z'));
    const members = listing(sample('limits.z')).map((member) => member.path);
    assert.equal(members.length, Object.keys(expected).length);
    for (const member of members) {
      const reason = expected[member.substring(member.lastIndexOf('/') + 1)];
      if (reason === null) {
        assert.ok(Buffer.from(entries.get(member).bytes).equals(
          fs.readFileSync(path.join(command.dir, member))), member);
      } else {
        assert.ok(!entries.has(member), member);
        assert.ok(errors.includes(`${member}: unsafe path (${reason}), skipped`), member);
      }
    }
    assert.equal(errors.length, Object.values(expected).filter(Boolean).length);
    await assertStillAnswers(page, notes);
    await page.close();
  });

test('names holding HTML are shown as text; a 4 GiB claim and a stream past its record get the command\'s reasons',
  async (t) => {
    const { page, notes } = await served();
    await page.evaluate(() => { window.pwned = () => { window.wasPwned = true; }; });
    await giveFiles(page, [sample('awkward.z')]);
    const command = unpack(sample('awkward.z'));
    const said = command.stderr.split('\n');
    assert.deepEqual(sorted(slashes(await memberRows(page))),
      sorted(listing(sample('awkward.z')).map((member) => member.path)));
    await page.hover('#rows tr.member[data-path^="<svg"] .name');
    assert.equal(await page.$$eval('#members img, #members svg, #members b', (found) => found.length), 0);
    assert.equal(await page.textContent('#rows tr.folder .toggle'), '<svg onload=pwned()>');

    for (const name of ['CLAIM.BIN', 'BOMB.BIN']) {
      const started = performance.now();
      await page.click(`#rows tr.member[data-path="${name}"] .name`);
      await settled(page);
      t.diagnostic(`${name} refused in ${seconds(started).toFixed(3)} s`);
      assert.ok(said.includes(await message(page)), `${await message(page)} / ${command.stderr}`);
    }
    const entries = readZip((await download(page, '#download-all')).bytes);
    const errors = errorLines(entries);
    entries.delete('ERRORS.txt');
    assertSameFiles(entries, command);
    assert.equal(errors.length, 2);
    for (const line of errors)
      assert.ok(said.includes(line), line + ' is not among\n' + command.stderr);
    assert.equal(await page.evaluate(() => window.wasPwned), undefined);
    await assertStillAnswers(page, notes);
    await page.close();
  });

test('the real 3-volume set lists 202 members and unpacks to the bytes varlix-unpack writes',
  async (t) => {
    const volumes = ['_SETUP.1', '_SETUP.2', '_SETUP.3'].map((name) =>
      path.join(REALDATA_DIR, 'set', name));
    if (!volumes.every((file) => fs.existsSync(file)))
      return t.skip('the real set is not in ' + REALDATA_DIR);
    const { page } = await served();
    const started = performance.now();
    await giveFiles(page, volumes);
    t.diagnostic(`opened and listed in ${((performance.now() - started) / 1000).toFixed(3)} s`);
    assert.equal((await drawEveryRow(page)).length, 202);
    const command = unpack(volumes[0]);
    assert.equal(command.status, 0, command.stderr);
    assertSameFiles(readZip((await download(page, '#download-all')).bytes), command);
    await page.close();
  });

/* ---- folders and engine containers ---- */

/* What the command left out, one line each: its standard error less the closing count. */
const failureLines = (stderr) =>
  stderr.split('\n').filter((line) => line && !/^extracted \d+ members?, /.test(line));

/*
 * varlix-unpack's listing of the folder @root: its installers in its order,
 * each by its path there with its members' paths and the volumes it took,
 * the lines of those it could not open, and how many files were neither.
 */
function folderListing(root, args) {
  const result = run(UNPACK, ['--list', '--json', ...args, root]);
  const installers = JSON.parse(result.stdout).map((listed) => ({
    path: path.relative(root, listed.archive),
    members: listed.members.map((member) => member.path.replaceAll('\\', '/')),
    volumes: listed.volumes.filter((volume) => volume.present).length
  }));
  const failures = failureLines(result.stderr);
  const taken = installers.reduce((sum, installer) => sum + installer.volumes, failures.length);
  return { installers, failures, skipped: filesUnder(root).size - taken };
}

/* What varlix-unpack writes for the folder @root, and the lines of what it left out. */
function unpackFolder(root, args) {
  const dir = path.join(scratchDir('folder'), 'out');
  const result = run(UNPACK, ['-d', dir, ...args, root]);
  return { dir, files: filesUnder(dir), lines: failureLines(result.stderr) };
}

/* Drops the folder @root on the page as a stubbed entry tree, its folders read two entries at a time. */
async function dropFolder(page, root) {
  const files = [...filesUnder(root).keys()].map((name) =>
    [name, fs.readFileSync(path.join(root, name)).toString('base64')]);
  await page.evaluate(({ name, files }) => {
    const later = (done, value) => setTimeout(() => done(value), 0);
    const folder = (name) => {
      const children = [];
      return { name, isFile: false, isDirectory: true, children, createReader: () => {
        let at = 0;
        return { readEntries: (done) => later(done, children.slice(at, at += 2)) };
      } };
    };
    const root = folder(name);
    for (const [relative, base64] of files) {
      const parts = relative.split('/');
      let at = root;
      for (const part of parts.slice(0, -1)) {
        let next = at.children.find((child) => child.name === part);
        if (!next)
          at.children.push(next = folder(part));
        at = next;
      }
      const leaf = parts[parts.length - 1];
      const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
      at.children.push({ name: leaf, isFile: true, isDirectory: false,
        file: (done) => later(done, new File([bytes], leaf)) });
    }
    const drop = new Event('drop', { bubbles: true, cancelable: true });
    Object.defineProperty(drop, 'dataTransfer',
      { value: { items: [{ kind: 'file', webkitGetAsEntry: () => root }], files: [] } });
    document.querySelector('main').dispatchEvent(drop);
  }, { name: path.basename(root), files });
}

const GIVE_FOLDER = {
  'folder picker (setInputFiles on the directory input)':
    (page, root) => page.setInputFiles('#folder-input', root),
  'drop handler (a stubbed entry tree)': dropFolder
};

for (const [driver, give] of Object.entries(GIVE_FOLDER)) {
  test(`a folder given through the ${driver}: every installer found as varlix-unpack finds it, shown, zipped and saved under its own folder`,
    async (t) => {
      const root = sample('media');
      /* The sets' names are in code page 932. */
      const CP932 = ['--codepage', 'CP932'];
      const found = folderListing(root, CP932);
      const { page, notes } = await served();
      const started = performance.now();
      await give(page, root);
      await settled(page);
      const listed = seconds(started);

      const options = await page.$$eval('#archive-choice option', (all) => all.map((o) => o.textContent));
      assert.deepEqual(options, found.installers.map((installer) => installer.path));
      const lines = (await message(page)).split('\n');
      assert.equal(lines[0], `Found ${found.installers.length + found.failures.length} installers ` +
        `in media; ${found.skipped} other files skipped, having no installer's signature. ` +
        `${found.failures.length} could not be opened:`);
      assert.deepEqual(lines.slice(1), found.failures);
      await page.selectOption('#codepage', 'shift_jis');
      for (const [i, installer] of found.installers.entries()) {
        await page.selectOption('#archive-choice', String(i));
        assert.deepEqual(sorted(slashes(await drawEveryRow(page))), sorted(installer.members),
          installer.path);
      }

      const since = new Date();
      const all = await timedDownload(page, '#download-all');
      assert.equal(all.name, 'media.zip');
      const entries = readZip(all.bytes);
      const errors = errorLines(entries);
      entries.delete('ERRORS.txt');
      const command = unpackFolder(root, CP932);
      assertSameFiles(entries, command, since);
      assert.deepEqual(errors, command.lines);
      assert.ok(entries.has('PROGRAM/DATA.Z/SYSTEM/SUPPORT.DLL'), 'a stored member is zipped');
      await pickPrivateFolder(page);
      await page.click('#save-to-folder');
      await settled(page);
      assert.deepEqual(await savedFiles(page), digests(command));
      t.diagnostic(`${found.installers.length} installers listed in ${listed.toFixed(3)} s, ` +
        `Download all ${all.seconds.toFixed(3)} s`);
      assert.deepEqual(notes.errors, []);
      await page.close();
    });
}

const CONTAINERS = [
  { label: 'a generated engine container', file: () => sample('_INST32I.EX_') },
  { label: 'the real _INST32I.EX_', file: () => path.join(REALDATA_DIR, '_INST32I.EX_'),
    sizes: { 'INSTALL.EXE': 667136, 'LZWSERV.EXE': 20656, 'WUTL95i.DLL': 37376, 'BOOT16.EXE': 7168 } }
];

for (const container of CONTAINERS) {
  test(`${container.label} is taken as an archive is: second names shown, unrecorded fields as -, every member and each one out, dated today`,
    async (t) => {
      const file = container.file();
      if (!fs.existsSync(file))
        return t.skip(file + ' is not there');
      const { page, notes } = await served();
      await giveFiles(page, [file]);
      const rows = await page.$$eval('#rows tr.member', (all) => all.map((row) => ({
        path: row.dataset.path, storedAs: row.querySelector('.stored-as').textContent,
        size: Number(row.cells[2].textContent.replace(/\D/g, '')),
        unrecorded: [4, 5, 6].map((cell) => row.cells[cell].textContent)
      })));
      const members = JSON.parse(run(UNPACK, ['--list', '--json', file]).stdout).members;
      assert.deepEqual(sorted(rows.map((row) => row.path)), sorted(members.map((m) => m.path)));
      if (container.sizes) {
        assert.deepEqual(Object.fromEntries(members.map((m) => [m.path, m.size])),
          container.sizes);
      }
      for (const row of rows) {
        const member = members.find((m) => m.path === row.path);
        assert.equal(row.storedAs, 'stored as ' + member.stored_as);
        assert.equal(row.size, member.size, row.path);
        assert.deepEqual(row.unrecorded, ['-', '-', '-']);
      }

      const since = new Date();
      const entries = readZip((await download(page, '#download-all')).bytes);
      const command = unpack(file);
      const errors = entries.has('ERRORS.txt') ? errorLines(entries) : [];
      entries.delete('ERRORS.txt');
      assertSameFiles(entries, command, since);
      assert.deepEqual(errors, failureLines(command.stderr));
      const one = await download(page, '#rows tr.member[data-path="LZWSERV.EXE"] .name');
      assert.ok(one.bytes.equals(fs.readFileSync(path.join(command.dir, 'LZWSERV.EXE'))));
      assert.deepEqual(notes.errors, []);
      await page.close();
    });
}

test('the vendored zip library is the one the lockfile pins', () => {
  const vendored = fs.readFileSync(path.join(SOURCE_DIR, 'web/vendor/fflate/fflate.min.js'));
  const pinned = fs.readFileSync(path.join(SOURCE_DIR, 'web/tests/node_modules/fflate/umd/index.js'));
  assert.ok(vendored.equals(pinned));
});
