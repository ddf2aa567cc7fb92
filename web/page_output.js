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

function send(request, label) {
  var archive = state.current;
  request.archive = archive.id;
  request.label = label;
  request.folderDisplays = archive.names.folders.map(function (folder) { return folder.display; });
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
  send({ type: 'extract', mode: 'file', items: [item] }, 'Decoding ' + display + ':');
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

function allIndices() {
  return state.current.listing.members.map(function (m, i) { return i; });
}

function zipName(archive) {
  var dot = archive.file.lastIndexOf('.');
  return (dot > 0 ? archive.file.substring(0, dot) : archive.file) + '.zip';
}

function downloadZip(indices, everything) {
  if (state.busy || indices.length === 0)
    return;
  showMessage('');
  var archive = state.current;
  send({ type: 'extract', mode: 'zip', items: requestItems(archive, archive.names, indices),
    folders: everything ? folderList(archive.names) : [], zipName: zipName(archive) },
    'Making ' + zipName(archive) + ':');
}

/* Members that failed to decode are marked in the tree with the reason. */
function markFailures(errors) {
  var archive = state.current;
  var decoding = errors.filter(function (error) { return error.status !== undefined; });
  decoding.forEach(function (error) { archive.failures[error.index] = error.text; });
  if (decoding.length !== 0)
    redraw();
}

function outcomeText(written, errors, where) {
  var archive = state.current;
  var text = written + (written === 1 ? ' member' : ' members') + ' ' + where + '.';
  if (errors.length === 0)
    return text;
  var lines = errors.slice(0, MOST_LINES_SHOWN).map(function (e) {
    return elided(memberDisplay(archive.names, archive, e.index)) + ': ' + e.text;
  });
  if (errors.length > MOST_LINES_SHOWN)
    lines.push('… and ' + (errors.length - MOST_LINES_SHOWN) + ' more.');
  return text + ' Left out, ' + errors.length + ':\n' + lines.join('\n');
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
    var archive = state.current;
    var indices = state.selected.size ? Array.from(state.selected) : allIndices();
    showMessage('');
    send({ type: 'extract', mode: 'folder', items: requestItems(archive, archive.names, indices),
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
