/*
 * page_output.js - getting members out: what the worker is asked to write
 * and where (one file, a zip, or a folder the user picks), or why a member
 * goes nowhere, in varlix-unpack's order and words; and what the page says
 * once the worker is done.
 *
 * A request stays in proportion to the archive: a member's path is sent
 * whole only when it is one the command would write (so at most 128 parts
 * and 1,024 bytes), and a path in the zip's ERRORS.txt is put together in
 * the worker from the folder's and the member's names.
 */

/* Messages list this many members left out, then say how many more. */
var MOST_LINES_SHOWN = 200;

/*
 * Paths by their parts with ASCII case folded, each a number, so that
 * equal paths, one file on any file system, get the same number without
 * ever joining a path's parts into one key. 0 is the folder written to.
 */
function pathNumbers() {
  var numbers = new Map();
  return function (parent, part) {
    var key = parent + ':' + asciiLower(part);
    var number = numbers.get(key);
    if (number === undefined) {
      number = numbers.size + 1;
      numbers.set(key, number);
    }
    return number;
  };
}

/* The numbers of a folder's path and of each path leading to it, outermost first. */
function folderPathNumbers(number, parts) {
  var numbers = [];
  var at = 0;
  parts.forEach(function (part) {
    at = number(at, part);
    numbers.push(at);
  });
  return numbers;
}

/*
 * What the worker needs for each member: where it goes, or why it goes
 * nowhere. The command's order: an unsafe path, then a path taken by
 * another member or by a folder, then a missing volume.
 */
function requestItems(archive, names, indices) {
  var members = archive.listing.members;
  var number = pathNumbers();
  var folderNumbers = new Map(); /* folder index -> its path's number */
  var foldersNeeded = new Map(); /* path number -> the first member whose folder needs it */
  indices.forEach(function (index) {
    var f = members[index].folder;
    if (names.members[index].problem || folderNumbers.has(f))
      return;
    var numbers = folderPathNumbers(number, names.folders[f].parts);
    folderNumbers.set(f, numbers.length ? numbers[numbers.length - 1] : 0);
    numbers.forEach(function (n) {
      if (!foldersNeeded.has(n))
        foldersNeeded.set(n, index);
    });
  });
  var files = new Map(); /* path number -> the first member written there */
  return indices.map(function (index) {
    var member = members[index];
    var name = names.members[index];
    var item = { index: index, size: member.size, date: member.date, time: member.time,
      attributes: member.attributes, folder: member.folder, name: name.display, parts: null };
    if (name.problem) {
      item.error = 'unsafe path (' + name.problem + '), skipped';
      return item;
    }
    var key = number(folderNumbers.get(member.folder), name.name);
    if (foldersNeeded.has(key))
      item.error = 'same path as the folder of ' +
        memberDisplay(names, archive, foldersNeeded.get(key)) + ', skipped';
    else if (files.has(key))
      item.error = 'same path as ' + memberDisplay(names, archive, files.get(key)) + ', skipped';
    else if (member.missing_volume !== 0)
      item.error = missingVolumeText(archive, member);
    if (!files.has(key))
      files.set(key, index);
    if (!item.error)
      item.parts = names.folders[member.folder].parts.concat([name.name]);
    return item;
  });
}

/*
 * Every folder of the installer that the command could make, empty ones
 * included, once whatever the case of its letters: [the index in this list
 * of the folder holding it or -1, its name], a folder after the one that
 * holds it.
 */
function folderList(names) {
  var number = pathNumbers();
  var listed = new Map(); /* path number -> index in the list */
  var folders = [];
  names.folders.forEach(function (folder) {
    if (folder.problem || folder.parts.length > MAX_PATH_PARTS || folder.bytes > MAX_PATH_BYTES)
      return;
    var numbers = folderPathNumbers(number, folder.parts);
    numbers.forEach(function (n, k) {
      if (listed.has(n))
        return;
      listed.set(n, folders.length);
      folders.push([k === 0 ? -1 : listed.get(numbers[k - 1]), folder.parts[k]]);
    });
  });
  return folders;
}

/* ---- busy, progress ---- */

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

function formatMiB(bytes) {
  return (bytes / 1048576).toFixed(1);
}

function showProgress(done, total) {
  if (!state.busy)
    return;
  $('progress').value = total ? done / total : 1;
  $('progress-text').textContent = state.busy.label + ' ' + formatMiB(done) + ' of ' +
    formatMiB(total) + ' MiB';
}

function updateActions() {
  var idle = !state.busy;
  $('download-all').disabled = !idle;
  $('download-all').textContent = state.folder ? 'Download all installers (.zip)'
    : 'Download all (.zip)';
  $('download-selected').disabled = !idle || state.selected.size === 0;
  $('download-selected').textContent = 'Download selected (.zip)' +
    (state.selected.size ? ' · ' + state.selected.size : '');
  $('save-to-folder').disabled = !idle;
}

/* ---- requests ---- */

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

/*
 * What the worker needs of an installer to write @items: its id, the
 * folder its members go under, and its folders' paths as shown; and with
 * @everything, the folders to make.
 */
function requestGroup(archive, items, everything) {
  return { archive: archive.id, prefix: archive.prefix, display: archive.prefix.join('/'),
    folderDisplays: archive.names.folders.map(function (folder) { return folder.display; }),
    items: items, folders: everything ? folderList(archive.names) : [] };
}

function send(request, label) {
  request.label = label;
  beginBusy(request, label);
  state.worker.postMessage(request);
}

function downloadMember(index) {
  if (state.busy)
    return;
  var archive = state.current;
  var item = requestItems(archive, archive.names, [index])[0];
  var display = elided(memberDisplay(archive.names, archive, index));
  if (item.error)
    return showMessage(display + ': ' + item.error);
  showMessage('');
  send({ type: 'extract', mode: 'file', groups: [requestGroup(archive, [item], false)] },
    'Decoding ' + display + ':');
}

function onFile(message) {
  endBusy();
  var archive = state.current;
  if (message.status !== 0) {
    archive.failures[message.index] = message.text;
    redraw();
    return showMessage(elided(memberDisplay(archive.names, archive, message.index)) + ': ' +
      message.text);
  }
  saveBlob(new Blob(message.pieces), message.name);
  showMessage(message.name + ': ' + formatNumber(archive.listing.members[message.index].size) +
    ' bytes, checked against the size the archive records; read in ' +
    message.readSeconds.toFixed(2) + ' s, decoded in ' + message.decodeSeconds.toFixed(2) +
    ' s.', 'info');
  $('message').dataset.readSeconds = message.readSeconds;
  $('message').dataset.decodeSeconds = message.decodeSeconds;
}

function allIndices(archive) {
  return archive.listing.members.map(function (m, i) { return i; });
}

function zipName(archive) {
  var file = baseName(archive.file);
  var dot = file.lastIndexOf('.');
  return (dot > 0 ? file.substring(0, dot) : file) + '.zip';
}

/* Every member of every installer of the folder open, each under its own folder. */
function folderGroups() {
  return state.archives.map(function (archive) {
    var names = namesOf(archive, state.codePage);
    return requestGroup(archive, requestItems(archive, names, allIndices(archive)), true);
  });
}

/* "Download all": the installer shown, or when a folder is open, every installer in it. */
function downloadZip(indices, everything) {
  if (state.busy || indices.length === 0)
    return;
  showMessage('');
  var archive = state.current;
  var request = { type: 'extract', mode: 'zip', everything: everything };
  if (everything && state.folder) {
    request.groups = folderGroups();
    request.failures = state.folder.failures;
    request.zipName = state.folder.name + '.zip';
  } else {
    request.groups = [requestGroup(archive, requestItems(archive, archive.names, indices),
      everything)];
    request.zipName = zipName(archive);
  }
  send(request, 'Making ' + request.zipName + ':');
}

function archiveById(id) {
  return state.archives.find(function (archive) { return archive.id === id; });
}

/* Members that failed to decode are marked in the tree with the reason. */
function markFailures(errors) {
  var decoding = errors.filter(function (error) { return error.status !== undefined; });
  decoding.forEach(function (error) { archiveById(error.archive).failures[error.index] = error.text; });
  if (decoding.some(function (error) { return error.archive === state.current.id; }))
    redraw();
}

/* A member's path in messages, under its installer's folder when a folder is open. */
function errorDisplay(error) {
  var archive = archiveById(error.archive);
  return joinPath(archive.prefix.join('/'), memberDisplay(archive.names, archive, error.index));
}

function outcomeText(written, errors, where) {
  var text = written + (written === 1 ? ' member' : ' members') + ' ' + where + '.';
  var failed = state.busy.failures || [];
  if (errors.length + failed.length === 0)
    return text;
  var lines = failed.map(function (f) { return elided(f.path) + ': ' + f.text; });
  lines = lines.concat(errors.slice(0, MOST_LINES_SHOWN).map(function (e) {
    return elided(errorDisplay(e)) + ': ' + e.text;
  }));
  if (errors.length > MOST_LINES_SHOWN)
    lines.push('… and ' + (errors.length - MOST_LINES_SHOWN) + ' more.');
  return text + ' Left out, ' + (errors.length + failed.length) + ':\n' + lines.join('\n');
}

function onZip(message) {
  var request = state.busy;
  var leftOut = message.errors.length + (request.failures || []).length;
  var text = outcomeText(message.written, message.errors, 'in ' + request.zipName +
    (leftOut ? ', with ERRORS.txt naming those left out' : ''));
  endBusy();
  saveBlob(message.blob, request.zipName);
  markFailures(message.errors);
  showMessage(text, leftOut ? 'error' : 'info');
}

function saveToFolder() {
  if (state.busy)
    return;
  window.showDirectoryPicker({ mode: 'readwrite' }).then(function (directory) {
    var archive = state.current;
    var request = { type: 'extract', mode: 'folder', directory: directory };
    if (state.selected.size === 0 && state.folder) {
      request.groups = folderGroups();
      request.failures = state.folder.failures;
    } else {
      var indices = state.selected.size ? Array.from(state.selected) : allIndices(archive);
      request.groups = [requestGroup(archive, requestItems(archive, archive.names, indices),
        false)];
    }
    showMessage('');
    send(request, 'Saving to ' + directory.name + ':');
  }, function () { /* the user closed the picker */ });
}

function onSaved(message) {
  var request = state.busy;
  var text = outcomeText(message.written, message.errors, 'saved in ' + request.directory.name);
  endBusy();
  markFailures(message.errors);
  showMessage(text, message.errors.length ? 'error' : 'info');
}
