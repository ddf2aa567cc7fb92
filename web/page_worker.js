/*
 * page_worker.js - the page's side of the worker (worker.js): starting it
 * from the script the page carries, starting it afresh after a cancel or a
 * crash, opening files, and the messages it sends back.
 */

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
      state.opened = null;
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
  if (state.opened)
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

/* A picked folder's files, each with its path from the folder picked, which names the folder. */
function openPickedFolder(fileList) {
  var files = Array.prototype.slice.call(fileList);
  if (files.length === 0)
    return;
  var name = files[0].webkitRelativePath.split('/')[0];
  openFolder(name, files.map(function (file) {
    return { path: file.webkitRelativePath.substring(name.length + 1), file: file };
  }));
}

function readEntries(reader) {
  return new Promise(function (resolve, reject) { reader.readEntries(resolve, reject); });
}

function fileOfEntry(entry) {
  return new Promise(function (resolve, reject) { entry.file(resolve, reject); });
}

/*
 * The files under dropped entries, each with its path from where they were
 * dropped ('' for a folder dropped alone, whose contents are the top). A
 * folder's entries come in batches until an empty one. Folders are walked
 * from a list, not by recursion: they may nest deeper than a stack goes.
 */
async function filesUnderEntries(roots) {
  var files = [];
  var pending = roots.slice();
  while (pending.length !== 0) {
    var next = pending.pop();
    if (next.entry.isFile) {
      files.push({ path: next.path, file: await fileOfEntry(next.entry) });
      continue;
    }
    if (!next.entry.isDirectory)
      continue;
    var reader = next.entry.createReader();
    for (var batch = await readEntries(reader); batch.length !== 0;
      batch = await readEntries(reader)) {
      batch.forEach(function (child) {
        pending.push({ entry: child, path: joinPath(next.path, child.name) });
      });
    }
  }
  return files;
}

/*
 * A drop holding a folder is taken as a folder: the folder itself when it
 * was dropped alone, else what was dropped, named "dropped". Files dropped
 * without a folder are opened as files are.
 */
function openDropped(transfer) {
  var entries = Array.prototype.map.call(transfer.items || [], function (item) {
    return item.kind === 'file' && item.webkitGetAsEntry ? item.webkitGetAsEntry() : null;
  }).filter(Boolean);
  if (!entries.some(function (entry) { return entry.isDirectory; }))
    return openFiles(transfer.files);
  var alone = entries.length === 1;
  var name = alone ? entries[0].name : 'dropped';
  state.reading = true;
  updateBusyFlag();
  showMessage('Reading ' + name + '…', 'info');
  filesUnderEntries(entries.map(function (entry) {
    return { entry: entry, path: alone ? '' : entry.name };
  })).then(function (files) {
    state.reading = false;
    updateBusyFlag();
    openFolder(name, files);
  }, function (error) {
    state.reading = false;
    updateBusyFlag();
    showMessage(name + ': the folder could not be read (' + (error && error.message || error) +
      ')');
  });
}

/* Several files, not in a folder: each opened, a set's volumes found among them. */
function openFiles(fileList) {
  var files = Array.prototype.slice.call(fileList);
  if (files.length === 0)
    return;
  startOpening({ type: 'open', files: files },
    files.map(function (f) { return f.name; }).join(', '));
}

/*
 * A folder, taken as varlix-unpack takes one: @entries are its files with
 * their paths inside it ('/' between parts), @name what it is called.
 */
function openFolder(name, entries) {
  if (entries.length === 0)
    return showMessage(name + ': the folder holds no files');
  startOpening({ type: 'open-folder', entries: entries, name: name }, name);
}

function startOpening(request, label) {
  if (state.busy || state.opening)
    replaceWorker();
  state.given = request;
  showMessage('Opening ' + label + '…', 'info');
  postOpen(false);
}

function postOpen(again) {
  var request = again ? state.opened : state.given;
  state.opening = true;
  updateBusyFlag();
  state.worker.postMessage({ type: request.type, files: request.files, entries: request.entries,
    again: again });
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

/*
 * One opened installer; names and the tree are worked out when it is shown.
 * Out of a folder, its members go under the folder named by its path there
 * (prefix), in every zip and folder written.
 */
function archiveFromListing(result, inFolder) {
  var listing = result.listing;
  return {
    id: result.id,
    file: result.file,
    prefix: inFolder ? result.file.split('/') : [],
    listing: listing,
    folderBytes: listing.folders.map(function (f) { return f.name; }),
    memberBytes: listing.members.map(function (m) { return m.name; }),
    failures: {},
    names: null,
    tree: null
  };
}

function plural(count, one, many) {
  return count + ' ' + (count === 1 ? one : many);
}

/* What a folder held: the installers found, the files that are none, and the failures. */
function folderText(name, opened, failures, skipped) {
  var text = 'Found ' + plural(opened.length + failures.length, 'installer', 'installers') +
    ' in ' + name + (skipped ? '; ' + plural(skipped, 'other file', 'other files') +
    ' skipped, having no installer\'s signature' : '') + '.';
  if (failures.length === 0)
    return text;
  return text + ' ' + failures.length + ' could not be opened:\n' +
    failures.map(openFailureText).join('\n');
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
  if (message.folder) {
    showMessage(folderText(state.given.name, opened, failures, message.skipped),
      failures.length ? 'error' : 'info');
  } else {
    showMessage(failures.map(openFailureText).join('\n'));
  }
  if (opened.length === 0)
    return; /* what was open stays open */
  state.opened = state.given;
  state.folder = message.folder ? { name: state.given.name, failures: failures.map(
    function (r) { return { path: r.file, text: openFailureText(r).substring(r.file.length + 2) }; })
  } : null;
  state.archives = opened.map(function (r) { return archiveFromListing(r, message.folder); });
  state.selected.clear();
  fillArchiveChoice();
  showArchive(state.archives[0]);
}
