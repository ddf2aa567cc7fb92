/*
 * page.js - the page: opening files, the tree of folders and members, the
 * code page of names, sorting, the filter, and getting members out through
 * the worker (one file, a zip, or a folder the user picks).
 */
(function () {
  'use strict';

  var ATTRIBUTE_LETTERS = [[0x01, 'R'], [0x02, 'H'], [0x04, 'S'], [0x20, 'A']];

  var state = {
    worker: null,
    files: [],          /* what is open, to open again after a cancel */
    givenFiles: [],     /* what was given last */
    archives: [],       /* opened installers: listing, names, failures */
    current: null,
    decoder: new TextDecoder('windows-1252'),
    sort: { key: 'name', ascending: true },
    pattern: null,      /* the filter as a test on a member, or null */
    selected: new Set(),
    collapsed: new Set(),
    busy: null,         /* the request the worker is working on */
    opening: false
  };

  var $ = function (id) { return document.getElementById(id); };

  /* ---- messages ---- */

  function showMessage(text, kind) {
    var box = $('message');
    box.textContent = text;
    box.className = 'message' + (kind === 'info' ? ' info' : '');
    box.hidden = !text;
  }

  /* Screen readers, and the tests, learn from aria-busy when the page has settled. */
  function updateBusyFlag() {
    if (state.busy || state.opening)
      document.body.setAttribute('aria-busy', 'true');
    else
      document.body.removeAttribute('aria-busy');
  }

  /* ---- the worker ---- */

  function startWorker() {
    var source = $('worker-source').textContent;
    var url = URL.createObjectURL(new Blob([source], { type: 'text/javascript' }));
    var worker = new Worker(url);
    worker.onmessage = function (event) {
      URL.revokeObjectURL(url);
      onWorkerMessage(event.data);
    };
    worker.onerror = function (event) {
      event.preventDefault();
      var why = event.message ? ' (' + event.message + ')' : '';
      if (state.opening) {
        /* Opening them again might stop it again: start afresh. */
        state.files = [];
        state.archives = [];
        $('archive').hidden = true;
        restartWorker('The decoder stopped while opening the files' + why + '.');
      } else {
        restartWorker('The decoder stopped unexpectedly' + why +
          '. The files have been opened again; please try once more.');
      }
    };
    state.worker = worker;
  }

  function replaceWorker() {
    state.worker.terminate();
    state.opening = false;
    endBusy();
    startWorker();
  }

  /* A cancel or a crash: a fresh worker, the same files opened again, the tree kept. */
  function restartWorker(text) {
    replaceWorker();
    if (state.files.length !== 0)
      postOpen(true);
    showMessage(text, 'info');
  }

  function onWorkerMessage(message) {
    if (message.type === 'opened')
      return onOpened(message);
    if (message.type === 'progress')
      return showProgress(message.done, message.total);
    if (message.type === 'file')
      return onFile(message);
    if (message.type === 'zip')
      return onZip(message);
    if (message.type === 'saved')
      return onSaved(message);
    if (message.type === 'failed') {
      state.opening = false;
      endBusy();
      showMessage('Something went wrong: ' + message.text);
    }
  }

  /* ---- opening ---- */

  function openFiles(fileList) {
    var files = Array.prototype.slice.call(fileList);
    if (files.length === 0)
      return;
    if (state.busy || state.opening)
      replaceWorker();
    state.givenFiles = files;
    showMessage('Opening ' + files.map(function (f) { return f.name; }).join(', ') + '…', 'info');
    postOpen(false);
  }

  function postOpen(again) {
    state.opening = true;
    updateBusyFlag();
    state.worker.postMessage({ type: 'open', files: again ? state.files : state.givenFiles,
      again: again });
  }

  function hexBytes(hex) {
    var bytes = new Uint8Array(hex.length / 2);
    for (var i = 0; i < bytes.length; ++i)
      bytes[i] = parseInt(hex.substr(2 * i, 2), 16);
    return bytes;
  }

  function baseName(path) {
    return path.substring(path.lastIndexOf('/') + 1);
  }

  function openFailureText(result) {
    if (result.status === -1)
      return result.file + ': another file of the same name was given; this one was left aside';
    var text = result.file + ': ' + result.text;
    var volumes = result.listing ? result.listing.volumes : [];
    var missing = volumes.filter(function (v) { return v.status !== 0; })
      .map(function (v) { return baseName(v.path); });
    if (result.listing && result.listing.disk_set && missing.length !== 0)
      text += ' (missing: ' + missing.join(', ') + ')';
    return text;
  }

  function archiveFromListing(result) {
    var listing = result.listing;
    return {
      id: result.id,
      file: result.file,
      listing: listing,
      folderBytes: listing.folders.map(function (f) { return hexBytes(f.name); }),
      memberBytes: listing.members.map(function (m) { return hexBytes(m.name); }),
      failures: {}
    };
  }

  function onOpened(message) {
    state.opening = false;
    updateBusyFlag();
    var opened = message.results.filter(function (r) { return r.status === 0; });
    var failures = message.results.filter(function (r) { return r.status !== 0; });
    if (message.again) {
      /* After a cancel or a crash: the same installers under new handles. */
      opened.forEach(function (r, i) { state.archives[i].id = r.id; });
      return;
    }
    showMessage(failures.map(openFailureText).join('\n'));
    if (opened.length === 0)
      return; /* what was open stays open */
    state.files = state.givenFiles;
    state.archives = opened.map(archiveFromListing);
    state.selected.clear();
    state.collapsed.clear();
    fillArchiveChoice();
    showArchive(state.archives[0]);
  }

  function fillArchiveChoice() {
    var choice = $('archive-choice');
    choice.textContent = '';
    state.archives.forEach(function (archive, i) {
      choice.appendChild(new Option(archive.file, String(i)));
    });
    $('archive-choice-label').hidden = state.archives.length < 2;
  }

  /* ---- names and paths ---- */

  function decode(bytes) {
    return state.decoder.decode(bytes);
  }

  /* The parts of a folder name as the installer meant them: '\' separates them. */
  function folderParts(archive, folderIndex) {
    var name = decode(archive.folderBytes[folderIndex]);
    return name === '' ? [] : name.split('\\');
  }

  /* A name in a message: control characters as \xHH, so that it stays on one line. */
  function shown(text) {
    return text.replace(/[\u0000-\u001f\u007f]/g, function (c) {
      return '\\x' + c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0');
    });
  }

  /*
   * What a name becomes when it is written, by the rules varlix-unpack
   * follows, so that both take out the same files under the same paths and
   * refuse the same ones for the same reason: a name must convert from the
   * code page exactly, and nothing may land outside the folder written to.
   */
  function strictText(bytes) {
    try {
      return { text: new TextDecoder(state.decoder.encoding, { fatal: true }).decode(bytes),
        exact: true };
    } catch (error) {
      return { text: decode(bytes), exact: false };
    }
  }

  function conversionProblem() {
    return 'bytes that are not ' + $('codepage').selectedOptions[0].dataset.name + ' text';
  }

  function partProblem(part, first) {
    if (part === '')
      return 'an empty part';
    if (part === '.' || part === '..')
      return "a '" + part + "' part";
    if (first && /^[A-Za-z]:/.test(part))
      return 'a drive letter';
    if (part.indexOf('\u0000') >= 0)
      return 'a NUL byte';
    if (part.indexOf('/') >= 0)
      return "a '/' in a name";
    return '';
  }

  /* A folder: its parts (none for the root), its path in messages, and its problem or ''. */
  function folderName(archive, folderIndex) {
    var converted = strictText(archive.folderBytes[folderIndex]);
    if (converted.text === '')
      return { parts: [], display: '', problem: '' };
    var parts = converted.text.split('\\');
    var problem = '';
    if (!converted.exact)
      problem = conversionProblem();
    else if (parts[0] === '' ? parts.length > 1 : parts[0][0] === '/')
      problem = 'an absolute path';
    for (var i = 0; i < parts.length && !problem; ++i)
      problem = partProblem(parts[i], i === 0);
    return { parts: problem ? [] : parts, display: parts.map(shown).join('/'), problem: problem };
  }

  /* A member: its folder, its own name, its path in messages, and the first problem or ''. */
  function memberName(archive, index) {
    var member = archive.listing.members[index];
    var folder = folderName(archive, member.folder);
    var converted = strictText(archive.memberBytes[index]);
    var name = converted.text;
    var problem = folder.problem;
    if (!problem && !converted.exact)
      problem = conversionProblem();
    else if (!problem && name.indexOf('\\') >= 0)
      problem = "a '\\' in a member's name";
    else if (!problem)
      problem = partProblem(name, folder.display === '');
    var display = shown(name.replace(/\\/g, '/'));
    return { folder: folder, name: name, problem: problem,
      display: folder.display === '' ? display : folder.display + '/' + display };
  }

  /*
   * ---- the filter: shell wildcards as varlix-unpack's patterns, matched
   * against the path ('/' between parts) and the bare name, ASCII case
   * ignored, '\' in a pattern standing for '/'; '*' crosses folders ----
   */

  function asciiLower(text) {
    return text.replace(/[A-Z]/g, function (c) { return c.toLowerCase(); });
  }

  function escapeForRegExp(c) {
    return /[\\^$.*+?()[\]{}|\/-]/.test(c) ? '\\' + c : c;
  }

  function bracketClass(pattern, start) {
    var i = start + 1;
    var negate = pattern[i] === '!' || pattern[i] === '^';
    if (negate)
      ++i;
    var first = i;
    while (i < pattern.length && (pattern[i] !== ']' || i === first))
      ++i;
    if (i >= pattern.length)
      return null;
    var body = '';
    for (var k = first; k < i; ++k) {
      var c = pattern[k] === '\\' ? '/' : pattern[k];
      body += c === '-' && k !== first && k + 1 !== i ? '-' : escapeForRegExp(c);
    }
    return { source: '[' + (negate ? '^' : '') + body + ']', end: i };
  }

  function patternTest(pattern) {
    pattern = asciiLower(pattern);
    var source = '';
    for (var i = 0; i < pattern.length; ++i) {
      var c = pattern[i];
      if (c === '*') {
        source += '[^]*';
      } else if (c === '?') {
        source += '[^]';
      } else if (c === '[' && bracketClass(pattern, i)) {
        var bracket = bracketClass(pattern, i);
        source += bracket.source;
        i = bracket.end;
      } else {
        source += escapeForRegExp(c === '\\' ? '/' : c);
      }
    }
    var expression = new RegExp('^' + source + '$');
    return function (path, name) {
      return expression.test(asciiLower(path)) || expression.test(asciiLower(name));
    };
  }

  /* ---- the tree ---- */

  function formatNumber(n) {
    return n.toLocaleString();
  }

  function formatWhen(date, time) {
    var pad = function (n) { return (n < 10 ? '0' : '') + n; };
    return (1980 + (date >> 9)) + '-' + pad((date >> 5) & 15) + '-' + pad(date & 31) + ' ' +
      pad(time >> 11) + ':' + pad((time >> 5) & 63) + ':' + pad((time & 31) * 2);
  }

  function formatAttributes(attributes) {
    return ATTRIBUTE_LETTERS.map(function (pair) {
      return attributes & pair[0] ? pair[1] : '-';
    }).join('');
  }

  function formatVolumes(member) {
    if (member.start_volume === 0)
      return '';
    return member.start_volume === member.end_volume ? String(member.start_volume)
      : member.start_volume + '–' + member.end_volume;
  }

  function formatVersion(member) {
    if (member.version_high === 0 && member.version_low === 0)
      return '';
    return [member.version_high >>> 16, member.version_high & 0xFFFF,
      member.version_low >>> 16, member.version_low & 0xFFFF].join('.');
  }

  /* Why a member cannot be read for want of a volume, as the command says it. */
  function missingVolumeText(archive, member) {
    var volume = archive.listing.volumes[member.missing_volume - 1];
    var text = 'needs ' + baseName(volume.path);
    if (volume.status === 1)
      return text + ', which is missing or cannot be opened';
    if (volume.status === 3)
      return text + ', which is not a volume of this set';
    return text + ': ' + volume.status_text;
  }

  /* Folders nest by their '\'-separated parts; a part no folder names is made on the way. */
  function buildTree(archive) {
    var root = { name: '', key: '', children: new Map(), members: [] };
    var nodes = archive.listing.folders.map(function (folder, i) {
      var node = root;
      folderParts(archive, i).forEach(function (part) {
        if (!node.children.has(part)) {
          node.children.set(part, { name: part, key: node.key + '\\' + part,
            children: new Map(), members: [] });
        }
        node = node.children.get(part);
      });
      return node;
    });
    archive.listing.members.forEach(function (member, index) {
      var node = nodes[member.folder] || root;
      node.members.push({ index: index, member: member, name: decode(archive.memberBytes[index]) });
    });
    return root;
  }

  var SORT_KEYS = {
    name: function (e) { return e.name; },
    size: function (e) { return e.member.size; },
    packed: function (e) { return e.member.packed; },
    when: function (e) { return e.member.date * 65536 + e.member.time; },
    attributes: function (e) { return formatAttributes(e.member.attributes); },
    volumes: function (e) { return e.member.start_volume * 256 + e.member.end_volume; }
  };

  function compareEntries(a, b) {
    var key = SORT_KEYS[state.sort.key];
    var x = key(a), y = key(b);
    var order = typeof x === 'string' ? x.localeCompare(y) : x - y;
    if (order === 0)
      order = a.name.localeCompare(b.name) || a.index - b.index;
    return state.sort.ascending ? order : -order;
  }

  function cell(row, text, className) {
    var td = row.insertCell();
    td.textContent = text;
    if (className)
      td.className = className;
    return td;
  }

  function checkbox(label, checked, onChange) {
    var box = document.createElement('input');
    box.type = 'checkbox';
    box.checked = checked;
    box.setAttribute('aria-label', label);
    box.addEventListener('change', function () { onChange(box.checked); });
    return box;
  }

  function memberRow(tbody, archive, entry, depth, path) {
    var member = entry.member;
    var row = tbody.insertRow();
    row.className = 'member';
    row.dataset.index = entry.index;
    row.dataset.path = path;
    var pick = row.insertCell();
    pick.className = 'pick';
    pick.appendChild(checkbox('Select ' + path, state.selected.has(entry.index), function (on) {
      if (on)
        state.selected.add(entry.index);
      else
        state.selected.delete(entry.index);
      updateActions();
    }));
    var nameCell = cell(row, '', 'name-cell');
    nameCell.style.paddingLeft = (8 + 18 * depth) + 'px';
    var button = document.createElement('button');
    button.type = 'button';
    button.className = 'name';
    button.textContent = entry.name;
    var version = formatVersion(member);
    button.title = 'Download ' + path + (version ? ' (file version ' + version + ')' : '');
    nameCell.appendChild(button);
    var note = null;
    if (member.missing_volume !== 0) {
      row.classList.add('unavailable');
      button.disabled = true;
      note = missingVolumeText(archive, member);
    } else if (archive.failures[entry.index]) {
      row.classList.add('damaged');
      note = archive.failures[entry.index];
    } else {
      button.addEventListener('click', function () { downloadMember(entry.index); });
    }
    if (note) {
      var span = document.createElement('span');
      span.className = 'note';
      span.textContent = note;
      nameCell.appendChild(span);
    }
    cell(row, formatNumber(member.size), 'number');
    cell(row, formatNumber(member.packed), 'number wide');
    cell(row, formatWhen(member.date, member.time), 'when');
    cell(row, formatAttributes(member.attributes), 'attributes wide');
    cell(row, formatVolumes(member), 'volumes wide');
  }

  function folderRow(tbody, node, depth, shown) {
    var row = tbody.insertRow();
    row.className = 'folder';
    row.dataset.folder = node.key.substring(1);
    var pick = row.insertCell();
    pick.className = 'pick';
    var indices = shown.map(function (e) { return e.index; });
    pick.appendChild(checkbox('Select every member shown in ' + node.name,
      indices.length !== 0 && indices.every(function (i) { return state.selected.has(i); }),
      function (on) { selectMembers(indices, on); }));
    var nameCell = row.insertCell();
    nameCell.colSpan = 6;
    nameCell.style.paddingLeft = (8 + 18 * depth) + 'px';
    var toggle = document.createElement('button');
    toggle.type = 'button';
    toggle.className = 'toggle';
    toggle.textContent = node.name === '' ? '(empty name)' : node.name;
    toggle.setAttribute('aria-expanded', String(!state.collapsed.has(node.key)));
    toggle.addEventListener('click', function () {
      if (state.collapsed.has(node.key))
        state.collapsed.delete(node.key);
      else
        state.collapsed.add(node.key);
      render();
      var again = document.querySelector('tr.folder[data-folder="' + CSS.escape(node.key.substring(1)) + '"] .toggle');
      if (again)
        again.focus();
    });
    nameCell.appendChild(toggle);
    var count = document.createElement('span');
    count.className = 'count';
    count.textContent = ' · ' + shown.length + (shown.length === 1 ? ' member' : ' members');
    nameCell.appendChild(count);
  }

  /* The members under @node that the filter lets through, its subfolders' included. */
  function shownUnder(node, archive, parts) {
    var shown = node.members.filter(function (entry) {
      return !state.pattern || state.pattern(parts.concat([entry.name]).join('/'), entry.name);
    });
    node.children.forEach(function (child) {
      shown = shown.concat(shownUnder(child, archive, parts.concat([child.name])));
    });
    return shown;
  }

  function renderNode(tbody, archive, node, depth, parts) {
    var children = Array.from(node.children.values()).sort(function (a, b) {
      return state.sort.key === 'name' && !state.sort.ascending ? b.name.localeCompare(a.name)
        : a.name.localeCompare(b.name);
    });
    children.forEach(function (child) {
      var childParts = parts.concat([child.name]);
      var shown = shownUnder(child, archive, childParts);
      if (shown.length === 0 && state.pattern)
        return;
      folderRow(tbody, child, depth, shown);
      if (!state.collapsed.has(child.key))
        renderNode(tbody, archive, child, depth + 1, childParts);
    });
    node.members.filter(function (entry) {
      return !state.pattern || state.pattern(parts.concat([entry.name]).join('/'), entry.name);
    }).sort(compareEntries).forEach(function (entry) {
      memberRow(tbody, archive, entry, depth, parts.concat([entry.name]).map(shown).join('/'));
    });
  }

  function render() {
    var archive = state.current;
    var tree = buildTree(archive);
    var tbody = document.createElement('tbody');
    tbody.id = 'rows';
    renderNode(tbody, archive, tree, 0, []);
    $('rows').replaceWith(tbody);
    var shown = shownUnder(tree, archive, []).length;
    var total = archive.listing.members.length;
    $('match-count').textContent = state.pattern ? shown + ' of ' + total + ' members match' : '';
    document.querySelectorAll('#members th[data-key]').forEach(function (th) {
      th.setAttribute('aria-sort', th.dataset.key !== state.sort.key ? 'none'
        : state.sort.ascending ? 'ascending' : 'descending');
    });
    updateActions();
  }

  function summarize(archive) {
    var listing = archive.listing;
    var members = listing.members;
    var size = members.reduce(function (sum, m) { return sum + m.size; }, 0);
    var packed = members.reduce(function (sum, m) { return sum + m.packed; }, 0);
    $('archive-name').textContent = archive.file;
    $('archive-facts').textContent = members.length + (members.length === 1 ? ' member' : ' members') +
      ' in ' + listing.folders.length + (listing.folders.length === 1 ? ' folder' : ' folders') +
      ', ' + formatNumber(size) + ' bytes (' + formatNumber(packed) + ' packed)';
    var facts = $('volume-facts');
    facts.textContent = '';
    if (!listing.disk_set)
      return;
    facts.appendChild(document.createTextNode('Disk set of ' + listing.volumes.length + ' volumes: '));
    listing.volumes.forEach(function (volume, i) {
      var span = document.createElement('span');
      span.textContent = baseName(volume.path) + (volume.status === 0 ? '' : ' (missing)');
      if (volume.status !== 0)
        span.className = 'missing';
      facts.appendChild(span);
      if (i + 1 < listing.volumes.length)
        facts.appendChild(document.createTextNode(', '));
    });
    var needy = members.filter(function (m) { return m.missing_volume !== 0; }).length;
    if (needy !== 0) {
      facts.appendChild(document.createTextNode('. ' + needy +
        (needy === 1 ? ' member needs' : ' members need') + ' a missing volume.'));
    }
  }

  function showArchive(archive) {
    state.current = archive;
    state.selected.clear();
    summarize(archive);
    $('archive').hidden = false;
    render();
  }

  function selectMembers(indices, on) {
    indices.forEach(function (i) {
      if (on)
        state.selected.add(i);
      else
        state.selected.delete(i);
    });
    render();
  }

  function updateActions() {
    var idle = !state.busy;
    $('download-all').disabled = !idle;
    $('download-selected').disabled = !idle || state.selected.size === 0;
    $('download-selected').textContent = 'Download selected (.zip)' +
      (state.selected.size ? ' · ' + state.selected.size : '');
    $('save-to-folder').disabled = !idle;
  }

  /* ---- getting members out ---- */

  function beginBusy(request, label) {
    state.busy = request;
    $('progress').value = 0;
    $('progress-text').textContent = label;
    $('progress-box').hidden = false;
    updateActions();
    updateBusyFlag();
  }

  function endBusy() {
    state.busy = null;
    $('progress-box').hidden = true;
    updateActions();
    updateBusyFlag();
  }

  function showProgress(done, total) {
    if (!state.busy)
      return;
    $('progress').value = total ? done / total : 1;
    $('progress-text').textContent = state.busy.label + ' ' + formatMiB(done) + ' of ' +
      formatMiB(total) + ' MiB';
  }

  function formatMiB(bytes) {
    return (bytes / 1048576).toFixed(1);
  }

  function saveBlob(blob, name) {
    var url = URL.createObjectURL(blob);
    var link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(function () { URL.revokeObjectURL(url); }, 60000);
  }

  /* A path's parts, ASCII case folded: equal keys are one file on any file system. */
  function pathKey(parts) {
    return asciiLower(parts.join('/'));
  }

  /*
   * What the worker needs for each member: where it goes, or why it goes
   * nowhere. The command's order: an unsafe path, then a path taken by
   * another member or by a folder, then a missing volume.
   */
  function requestItems(archive, indices) {
    var names = indices.map(function (index) { return memberName(archive, index); });
    var foldersNeeded = new Map();
    names.forEach(function (name) {
      for (var k = 1; !name.problem && k <= name.folder.parts.length; ++k) {
        var key = pathKey(name.folder.parts.slice(0, k));
        if (!foldersNeeded.has(key))
          foldersNeeded.set(key, name.display);
      }
    });
    var files = new Map();
    return indices.map(function (index, i) {
      var member = archive.listing.members[index];
      var name = names[i];
      var parts = name.folder.parts.concat([name.name]);
      var item = { index: index, size: member.size, date: member.date, time: member.time,
        attributes: member.attributes, parts: parts, display: name.display };
      var key = pathKey(parts);
      if (name.problem)
        item.error = 'unsafe path (' + name.problem + '), skipped';
      else if (foldersNeeded.has(key))
        item.error = 'same path as the folder of ' + foldersNeeded.get(key) + ', skipped';
      else if (files.has(key))
        item.error = 'same path as ' + files.get(key) + ', skipped';
      else if (member.missing_volume !== 0)
        item.error = missingVolumeText(archive, member);
      if (!name.problem && !files.has(key))
        files.set(key, name.display);
      if (item.error)
        item.parts = null;
      return item;
    });
  }

  function send(request, label) {
    request.archive = state.current.id;
    request.label = label;
    beginBusy(request, label);
    state.worker.postMessage(request);
  }

  function downloadMember(index) {
    if (state.busy)
      return;
    var items = requestItems(state.current, [index]);
    if (items[0].error)
      return showMessage(items[0].display + ': ' + items[0].error);
    showMessage('');
    send({ type: 'extract', mode: 'file', items: items }, 'Decoding ' + items[0].display + ':');
  }

  function onFile(message) {
    endBusy();
    var archive = state.current;
    if (message.status !== 0) {
      archive.failures[message.index] = message.text;
      render();
      return showMessage(memberName(archive, message.index).display + ': ' + message.text);
    }
    saveBlob(new Blob(message.pieces), message.name);
    showMessage(message.name + ': ' + formatNumber(archive.listing.members[message.index].size) +
      ' bytes, checked against the size the archive records; read in ' +
      message.readSeconds.toFixed(2) + ' s, decoded in ' + message.decodeSeconds.toFixed(2) +
      ' s.', 'info');
    $('message').dataset.readSeconds = message.readSeconds;
    $('message').dataset.decodeSeconds = message.decodeSeconds;
  }

  function allIndices() {
    return state.current.listing.members.map(function (m, i) { return i; });
  }

  function zipName(archive) {
    var dot = archive.file.lastIndexOf('.');
    return (dot > 0 ? archive.file.substring(0, dot) : archive.file) + '.zip';
  }

  /* Every folder of the installer, as the command makes them, empty ones included. */
  function folderList(archive) {
    var seen = new Set();
    var folders = [];
    archive.listing.folders.forEach(function (folder, i) {
      var parts = folderName(archive, i).parts;
      for (var k = 1; k <= parts.length; ++k) {
        var key = pathKey(parts.slice(0, k));
        if (!seen.has(key)) {
          seen.add(key);
          folders.push(parts.slice(0, k));
        }
      }
    });
    return folders;
  }

  function downloadZip(indices, everything) {
    if (state.busy || indices.length === 0)
      return;
    showMessage('');
    var archive = state.current;
    send({ type: 'extract', mode: 'zip', items: requestItems(archive, indices),
      folders: everything ? folderList(archive) : [], zipName: zipName(archive) },
      'Making ' + zipName(archive) + ':');
  }

  function markFailures(errors) {
    var archive = state.current;
    errors.forEach(function (error) {
      if (error.index !== undefined)
        archive.failures[error.index] = error.text;
    });
    render();
  }

  function outcomeText(written, errors, where) {
    var text = written + (written === 1 ? ' member' : ' members') + ' ' + where + '.';
    if (errors.length === 0)
      return text;
    return text + ' Left out, ' + errors.length + ':\n' + errors.map(function (e) {
      return e.path + ': ' + e.text;
    }).join('\n');
  }

  function onZip(message) {
    var request = state.busy;
    endBusy();
    saveBlob(message.blob, request.zipName);
    markFailures(message.errors);
    showMessage(outcomeText(message.written, message.errors, 'in ' + request.zipName +
      (message.errors.length ? ', with ERRORS.txt naming those left out' : '')),
      message.errors.length ? 'error' : 'info');
  }

  function saveToFolder() {
    if (state.busy)
      return;
    window.showDirectoryPicker({ mode: 'readwrite' }).then(function (directory) {
      var indices = state.selected.size ? Array.from(state.selected) : allIndices();
      showMessage('');
      send({ type: 'extract', mode: 'folder', items: requestItems(state.current, indices),
        directory: directory }, 'Saving to ' + directory.name + ':');
    }, function () { /* the user closed the picker */ });
  }

  function onSaved(message) {
    var request = state.busy;
    endBusy();
    markFailures(message.errors);
    showMessage(outcomeText(message.written, message.errors, 'saved in ' + request.directory.name),
      message.errors.length ? 'error' : 'info');
  }

  /* ---- wiring ---- */

  function wire() {
    var input = $('file-input');
    $('choose-files').addEventListener('click', function () { input.click(); });
    input.addEventListener('change', function () {
      openFiles(input.files);
      input.value = '';
    });
    document.addEventListener('dragover', function (event) {
      event.preventDefault();
      document.body.classList.add('dragging');
    });
    document.addEventListener('dragleave', function (event) {
      if (!event.relatedTarget)
        document.body.classList.remove('dragging');
    });
    document.addEventListener('drop', function (event) {
      event.preventDefault();
      document.body.classList.remove('dragging');
      openFiles(event.dataTransfer.files);
    });
    $('codepage').addEventListener('change', function () {
      state.decoder = new TextDecoder($('codepage').value);
      if (state.current)
        render();
    });
    $('filter').addEventListener('input', function () {
      var text = $('filter').value.trim();
      state.pattern = text ? patternTest(text) : null;
      if (state.current)
        render();
    });
    $('archive-choice').addEventListener('change', function () {
      showArchive(state.archives[Number($('archive-choice').value)]);
    });
    document.querySelectorAll('#members th[data-key] button').forEach(function (button) {
      button.addEventListener('click', function () {
        var key = button.parentNode.dataset.key;
        state.sort = { key: key, ascending: state.sort.key === key ? !state.sort.ascending : true };
        render();
      });
    });
    $('select-shown').addEventListener('change', function () {
      var shown = Array.from(document.querySelectorAll('#rows tr.member'))
        .map(function (row) { return Number(row.dataset.index); });
      selectMembers(shown, $('select-shown').checked);
    });
    $('download-all').addEventListener('click', function () { downloadZip(allIndices(), true); });
    $('download-selected').addEventListener('click', function () {
      downloadZip(Array.from(state.selected).sort(function (a, b) { return a - b; }), false);
    });
    if (typeof window.showDirectoryPicker === 'function') {
      $('save-to-folder').hidden = false;
      $('save-to-folder').addEventListener('click', saveToFolder);
    }
    $('cancel').addEventListener('click', function () { restartWorker('Cancelled.'); });
  }

  wire();
  startWorker();
})();
