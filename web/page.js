/*
 * page.js - the page: what it holds (the installers open, the one shown,
 * the code page, sorting, the filter, the selection), the summary of an
 * installer, and the wiring of its controls. The page's other scripts,
 * page_names.js, page_tree.js, page_output.js and page_worker.js, are
 * assembled with this one into a single function (assemble_page.cmake),
 * whose last lines start the page.
 */

var state = {
  worker: null,
  opened: null,       /* the open request of what is open, to send again after a cancel */
  given: null,        /* the open request sent last */
  folder: null,       /* when a folder is open: its name, and its installers that failed */
  archives: [],       /* opened installers: listing, names, tree, failures */
  current: null,      /* the one shown */
  tree: null,         /* its tree, in the code page chosen */
  codePage: null,
  sort: { key: 'name', ascending: true },
  pattern: null,      /* the filter as a test on a member, or null */
  selected: new Set(),
  busy: null,         /* the request the worker is working on */
  opening: false,
  reading: false      /* a dropped folder's files are being listed */
};

function $(id) {
  return document.getElementById(id);
}

function showMessage(text, kind) {
  var box = $('message');
  box.textContent = text;
  box.className = 'message' + (kind === 'info' ? ' info' : '');
  box.hidden = !text;
}

/* Screen readers, and the tests, learn from aria-busy when the page has settled. */
function updateBusyFlag() {
  if (state.busy || state.opening || state.reading)
    document.body.setAttribute('aria-busy', 'true');
  else
    document.body.removeAttribute('aria-busy');
}

function chosenCodePage() {
  var option = $('codepage').selectedOptions[0];
  return codePage(option.value, option.dataset.name);
}

function fillArchiveChoice() {
  var choice = $('archive-choice');
  choice.textContent = '';
  state.archives.forEach(function (archive, i) {
    choice.appendChild(new Option(archive.file, String(i)));
  });
  $('archive-choice-label').hidden = state.archives.length < 2;
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
  if (listing.container) {
    facts.textContent = 'A setup engine container: each member is shown with the second name ' +
      'the setup stores it under. It records no date, attributes or volume (shown as -); ' +
      'its files get today\'s date.';
  }
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

/* The shown archive's tree in the code page chosen, built when either changed. */
function currentTree() {
  var archive = state.current;
  var names = namesOf(archive, state.codePage);
  if (!archive.tree || archive.tree.names !== names)
    archive.tree = buildTree(archive, names, archive.tree);
  state.tree = archive.tree;
  return state.tree;
}

/* Everything again: sorting, the filter, the counts, the rows; @keep rows drawn at least. */
function render(keep) {
  var tree = currentTree();
  sortTree(tree, state.sort);
  filterTree(tree, state.pattern);
  countTree(tree, state.selected);
  layOut(tree, state.pattern !== null);
  drawRows(tree, keep || 0, state.selected);
  var shownCount = tree.nodes[0].shown;
  var total = state.current.listing.members.length;
  $('match-count').textContent = state.pattern ? shownCount + ' of ' + total + ' members match' : '';
  document.querySelectorAll('#members th[data-key]').forEach(function (th) {
    th.setAttribute('aria-sort', th.dataset.key !== state.sort.key ? 'none'
      : state.sort.ascending ? 'ascending' : 'descending');
  });
  updateActions();
}

/* The same rows, drawn again as far as they were: after failures were found. */
function redraw() {
  drawRows(state.tree, state.tree.drawn, state.selected);
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
  refreshChecks(state.tree, state.selected);
  updateActions();
}

/* Opens or closes folder @n: the rows above it stay as drawn, those below are drawn again. */
function toggleFolder(n) {
  var tree = state.tree;
  if (tree.collapsed.has(n))
    tree.collapsed.delete(n);
  else
    tree.collapsed.add(n);
  layOut(tree, state.pattern !== null);
  var row = document.querySelector('#rows tr.folder[data-node="' + n + '"]');
  var at = rowOf(tree, n);
  while (row.nextSibling)
    row.nextSibling.remove();
  row.querySelector('.toggle').setAttribute('aria-expanded', String(!tree.collapsed.has(n)));
  tree.drawn = at + 1;
  appendRows(row.parentNode, tree, at + 1 + ROWS_PER_PIECE, state.selected);
}

/* One listener for every row, drawn now or later. */
function wireRows() {
  var table = $('members');
  table.addEventListener('click', function (event) {
    var tr = event.target.closest('#rows tr');
    if (!tr)
      return;
    if (event.target.closest('button.toggle'))
      toggleFolder(Number(tr.dataset.node));
    else if (event.target.closest('button.name') && !tr.classList.contains('unavailable') &&
      !tr.classList.contains('damaged'))
      downloadMember(Number(tr.dataset.index));
  });
  table.addEventListener('change', function (event) {
    var tr = event.target.closest('#rows tr');
    if (!tr)
      return;
    if (tr.classList.contains('folder'))
      selectMembers(shownUnder(state.tree, Number(tr.dataset.node)), event.target.checked);
    else
      selectMembers([Number(tr.dataset.index)], event.target.checked);
  });
}

function wire() {
  var input = $('file-input');
  $('choose-files').addEventListener('click', function () { input.click(); });
  input.addEventListener('change', function () {
    openFiles(input.files);
    input.value = '';
  });
  var folderInput = $('folder-input');
  if ('webkitdirectory' in folderInput) {
    $('folder-choice').hidden = false;
    $('choose-folder').addEventListener('click', function () { folderInput.click(); });
    folderInput.addEventListener('change', function () {
      openPickedFolder(folderInput.files);
      folderInput.value = '';
    });
  }
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
    openDropped(event.dataTransfer);
  });
  $('codepage').addEventListener('change', function () {
    state.codePage = chosenCodePage();
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
    selectMembers(shownUnder(state.tree, 0), $('select-shown').checked);
  });
  $('download-all').addEventListener('click', function () { downloadZip(allIndices(state.current), true);
  });
  $('download-selected').addEventListener('click', function () {
    downloadZip(Array.from(state.selected).sort(function (a, b) { return a - b; }), false);
  });
  if (typeof window.showDirectoryPicker === 'function') {
    $('save-to-folder').hidden = false;
    $('save-to-folder').addEventListener('click', saveToFolder);
  }
  $('cancel').addEventListener('click', function () { restartWorker('Cancelled.'); });
  wireRows();
}

state.codePage = chosenCodePage();
wire();
startWorker();
