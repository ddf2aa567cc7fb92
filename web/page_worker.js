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

/* One opened installer; names and the tree are worked out when it is shown. */
function archiveFromListing(result) {
  var listing = result.listing;
  return {
    id: result.id,
    file: result.file,
    listing: listing,
    folderBytes: listing.folders.map(function (f) { return f.name; }),
    memberBytes: listing.members.map(function (m) { return m.name; }),
    failures: {},
    names: null,
    tree: null
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
  fillArchiveChoice();
  showArchive(state.archives[0]);
}
