/*
 * page_tree.js - the tree of folders and members: built once for each
 * archive and code page, then sorted, filtered, counted and laid out in
 * passes linear in its folders and members, none of them recursive (a
 * folder may be thousands of parts deep), and drawn a piece at a time as
 * its rows scroll into view. Sorting, the filter, the counts and selection
 * always see every member, drawn or not.
 */

/* Rows drawn at first, enough to fill a tall window; then this many more each time. */
var FIRST_ROWS = 60;
var ROWS_PER_PIECE = 150;
/* Deeper folders are drawn at this depth, with their level written out. */
var DEEPEST_INDENT = 40;
var ATTRIBUTE_LETTERS = [[0x01, 'R'], [0x02, 'H'], [0x04, 'S'], [0x20, 'A']];
var collator = new Intl.Collator();
var numberFormat = new Intl.NumberFormat();

/* ---- building ---- */

/* A folder's members are listed in an array of its own once it has one: most folders have none. */
var NO_MEMBERS = Object.freeze([]);

function newNode(name, parent, depth) {
  return { name: name, parent: parent, depth: depth, children: [], byName: null,
    members: NO_MEMBERS, shown: 0, selectedShown: 0 };
}

/* A folder with more subfolders than this finds them by name in a map, others by a look at each. */
var MAP_FROM_CHILDREN = 8;

function findChild(nodes, n, name) {
  var node = nodes[n];
  if (node.byName)
    return node.byName.get(name);
  for (var i = 0; i < node.children.length; ++i) {
    if (nodes[node.children[i]].name === name)
      return node.children[i];
  }
  return undefined;
}

function addChild(nodes, n, name) {
  var node = nodes[n];
  var child = nodes.length;
  nodes.push(newNode(name, n, node.depth + 1));
  node.children.push(child);
  if (node.byName) {
    node.byName.set(name, child);
  } else if (node.children.length > MAP_FROM_CHILDREN) {
    node.byName = new Map(node.children.map(function (c) { return [nodes[c].name, c]; }));
  }
  return child;
}

/*
 * Folders nest by their '\'-separated parts, as shown; a part no folder
 * names is made on the way. A node always comes after its parent. The
 * folders closed in @before, the same archive's tree in another code page,
 * stay closed where the same names lead to them.
 */
function buildTree(archive, names, before) {
  var nodes = [newNode('', -1, 0)];
  var folderNodes = names.folders.map(function (folder) {
    var node = 0;
    for (var i = 0; i < folder.shownParts.length; ++i) {
      var part = folder.shownParts[i];
      var next = findChild(nodes, node, part);
      node = next === undefined ? addChild(nodes, node, part) : next;
    }
    return node;
  });
  var memberNodes = archive.listing.members.map(function (member, index) {
    var node = nodes[folderNodes[member.folder]];
    if (node.members === NO_MEMBERS)
      node.members = [];
    node.members.push(index);
    return folderNodes[member.folder];
  });
  var tree = { archive: archive, names: names, nodes: nodes, memberNodes: memberNodes,
    collapsed: new Set(), shown: new Uint8Array(memberNodes.length), sortedBy: null, rows: [],
    depths: [], drawn: 0 };
  if (before)
    keepCollapsed(tree, before);
  return tree;
}

function keepCollapsed(tree, before) {
  var counterpart = new Int32Array(tree.nodes.length).fill(-1);
  counterpart[0] = 0;
  tree.nodes.forEach(function (node, i) {
    if (i === 0 || counterpart[node.parent] < 0)
      return;
    var old = findChild(before.nodes, counterpart[node.parent], node.name);
    if (old !== undefined) {
      counterpart[i] = old;
      if (before.collapsed.has(old))
        tree.collapsed.add(i);
    }
  });
}

/* ---- sorting, the filter and the counts ---- */

var SORT_KEYS = {
  name: null,
  size: function (m) { return m.size; },
  packed: function (m) { return m.packed; },
  when: function (m) { return m.date * 65536 + m.time; },
  attributes: function (m) { return formatAttributes(m.attributes); },
  volumes: function (m) { return m.start_volume * 256 + m.end_volume; }
};

/* Folders by name, members by the chosen column, then by name and by place in the archive. */
function sortTree(tree, sort) {
  var signature = sort.key + (sort.ascending ? '+' : '-');
  if (tree.sortedBy === signature)
    return;
  tree.sortedBy = signature;
  var direction = sort.ascending ? 1 : -1;
  var members = tree.archive.listing.members, names = tree.names.members;
  var key = SORT_KEYS[sort.key];
  var byName = function (a, b) {
    return collator.compare(names[a].shownName, names[b].shownName) || a - b;
  };
  var compareMembers = function (a, b) {
    var order = 0;
    if (key) {
      var x = key(members[a]), y = key(members[b]);
      order = typeof x === 'string' ? collator.compare(x, y) : x - y;
    }
    return direction * (order || byName(a, b));
  };
  var folderDirection = sort.key === 'name' ? direction : 1;
  var compareFolders = function (a, b) {
    return folderDirection * collator.compare(tree.nodes[a].name, tree.nodes[b].name);
  };
  tree.nodes.forEach(function (node) {
    if (node.children.length > 1)
      node.children.sort(compareFolders);
    if (node.members.length > 1)
      node.members.sort(compareMembers);
  });
}

/* Which members the filter lets through: @test(path, name), or every one without a test. */
function filterTree(tree, test) {
  var folders = tree.names.folders, names = tree.names.members;
  tree.archive.listing.members.forEach(function (member, i) {
    tree.shown[i] = !test || test(joinPath(folders[member.folder].display, names[i].display),
      names[i].display) ? 1 : 0;
  });
}

/* Each folder's members shown, and of them those selected, its subfolders' included. */
function countTree(tree, selected) {
  var nodes = tree.nodes;
  nodes.forEach(function (node) {
    node.shown = 0;
    node.selectedShown = 0;
  });
  tree.memberNodes.forEach(function (n, i) {
    if (tree.shown[i]) {
      nodes[n].shown += 1;
      nodes[n].selectedShown += selected.has(i) ? 1 : 0;
    }
  });
  for (var i = nodes.length - 1; i > 0; --i) {
    nodes[nodes[i].parent].shown += nodes[i].shown;
    nodes[nodes[i].parent].selectedShown += nodes[i].selectedShown;
  }
}

/*
 * The rows in order, depth first: a folder, then (when open) its
 * subfolders and its members. A folder none of whose members the filter
 * lets through is left out while there is a filter. A row is a folder's
 * node, or ~index for a member, with its depth beside it: numbers, not
 * objects, for a tree of tens of thousands of rows.
 */
function layOut(tree, filtering) {
  var rows = [], depths = [];
  var pending = [0], pendingDepths = [-1];
  while (pending.length !== 0) {
    var row = pending.pop(), depth = pendingDepths.pop();
    if (row !== 0) {
      if (row > 0 && filtering && tree.nodes[row].shown === 0)
        continue;
      rows.push(row);
      depths.push(depth);
      if (row < 0 || tree.collapsed.has(row))
        continue;
    }
    var node = tree.nodes[row];
    for (var m = node.members.length - 1; m >= 0; --m) {
      if (tree.shown[node.members[m]]) {
        pending.push(~node.members[m]);
        pendingDepths.push(depth + 1);
      }
    }
    for (var c = node.children.length - 1; c >= 0; --c) {
      pending.push(node.children[c]);
      pendingDepths.push(depth + 1);
    }
  }
  tree.rows = rows;
  tree.depths = depths;
}

/* Every member shown under node @n, in no particular order. */
function shownUnder(tree, n) {
  var found = [];
  var pending = [n];
  while (pending.length !== 0) {
    var node = tree.nodes[pending.pop()];
    node.members.forEach(function (i) {
      if (tree.shown[i])
        found.push(i);
    });
    node.children.forEach(function (c) { pending.push(c); });
  }
  return found;
}

/* The path of node @n as shown, '/' between parts; null past the deepest path a member may have. */
function nodePath(tree, n) {
  if (tree.nodes[n].depth > MAX_PATH_PARTS)
    return null;
  var parts = [];
  for (; n > 0; n = tree.nodes[n].parent)
    parts.push(shown(tree.nodes[n].name));
  return parts.reverse().join('/');
}

/* ---- drawing ---- */

function formatNumber(n) {
  return numberFormat.format(n);
}

/* What an installer does not record: an engine container's dates, attributes and volumes. */
var NOT_RECORDED = '-';

function formatWhen(date, time) {
  if (date === 0 && time === 0)
    return NOT_RECORDED;
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

function cell(row, text, className) {
  var td = row.insertCell();
  td.textContent = text;
  if (className)
    td.className = className;
  return td;
}

function checkbox(label, checked) {
  var box = document.createElement('input');
  box.type = 'checkbox';
  box.checked = checked;
  box.setAttribute('aria-label', label);
  return box;
}

function indent(nameCell, depth) {
  nameCell.style.paddingLeft = (8 + 18 * Math.min(depth, DEEPEST_INDENT)) + 'px';
}

function memberRow(tbody, tree, index, depth, selected) {
  var archive = tree.archive;
  var member = archive.listing.members[index];
  var name = tree.names.members[index].shownName;
  var folderPath = nodePath(tree, tree.memberNodes[index]);
  var path = folderPath === null ? null : joinPath(folderPath, shown(name));
  var tr = tbody.insertRow();
  tr.className = 'member';
  tr.dataset.index = index;
  if (path !== null)
    tr.dataset.path = path;
  cell(tr, '', 'pick').appendChild(checkbox('Select ' + elided(path || name), selected.has(index)));
  var nameCell = cell(tr, '', 'name-cell');
  indent(nameCell, depth);
  var button = document.createElement('button');
  button.type = 'button';
  button.className = 'name';
  button.textContent = name;
  var version = formatVersion(member);
  button.title = 'Download ' + elided(path || name) +
    (version ? ' (file version ' + version + ')' : '');
  nameCell.appendChild(button);
  var storedAs = tree.names.members[index].storedAs;
  if (storedAs !== null) {
    var second = document.createElement('span');
    second.className = 'stored-as';
    second.textContent = 'stored as ' + storedAs;
    nameCell.appendChild(second);
  }
  var note = null;
  if (member.missing_volume !== 0) {
    tr.classList.add('unavailable');
    button.disabled = true;
    note = missingVolumeText(archive, member);
  } else if (archive.failures[index]) {
    tr.classList.add('damaged');
    note = archive.failures[index];
  }
  if (note) {
    var span = document.createElement('span');
    span.className = 'note';
    span.textContent = note;
    nameCell.appendChild(span);
  }
  cell(tr, formatNumber(member.size), 'number');
  cell(tr, formatNumber(member.packed), 'number wide');
  var container = archive.listing.container;
  cell(tr, formatWhen(member.date, member.time), 'when');
  cell(tr, container ? NOT_RECORDED : formatAttributes(member.attributes), 'attributes wide');
  cell(tr, container ? NOT_RECORDED : formatVolumes(member), 'volumes wide');
}

function folderChecked(node) {
  return node.shown !== 0 && node.selectedShown === node.shown;
}

function folderRow(tbody, tree, n, depth) {
  var node = tree.nodes[n];
  var tr = tbody.insertRow();
  tr.className = 'folder';
  tr.dataset.node = n;
  var path = nodePath(tree, n);
  if (path !== null)
    tr.dataset.folder = path.replace(/\//g, '\\');
  var label = node.name === '' ? '(empty name)' : node.name;
  cell(tr, '', 'pick').appendChild(checkbox('Select every member shown in ' + elided(label),
    folderChecked(node)));
  var nameCell = cell(tr, '');
  nameCell.colSpan = 6;
  indent(nameCell, depth);
  var toggle = document.createElement('button');
  toggle.type = 'button';
  toggle.className = 'toggle';
  toggle.textContent = label;
  toggle.setAttribute('aria-expanded', String(!tree.collapsed.has(n)));
  nameCell.appendChild(toggle);
  var count = document.createElement('span');
  count.className = 'count';
  count.textContent = ' · ' + node.shown + (node.shown === 1 ? ' member' : ' members') +
    (depth > DEEPEST_INDENT ? ' · level ' + formatNumber(depth + 1) : '');
  nameCell.appendChild(count);
}

/* Draws the rows up to @count (FIRST_ROWS at least), and a row that draws more as it comes into view. */
function drawRows(tree, count, selected) {
  var tbody = document.createElement('tbody');
  tbody.id = 'rows';
  tree.drawn = 0;
  if (moreObserver)
    moreObserver.disconnect(); /* the rows it watched are being replaced */
  appendRows(tbody, tree, Math.max(count, FIRST_ROWS), selected);
  $('rows').replaceWith(tbody);
}

var moreObserver = null;

function appendRows(tbody, tree, count, selected) {
  var end = Math.min(tree.rows.length, count);
  for (var i = tree.drawn; i < end; ++i) {
    var row = tree.rows[i];
    if (row < 0)
      memberRow(tbody, tree, ~row, tree.depths[i], selected);
    else
      folderRow(tbody, tree, row, tree.depths[i]);
  }
  tree.drawn = end;
  if (end === tree.rows.length)
    return;
  var more = tbody.insertRow();
  more.className = 'more';
  cell(more, '', 'pick');
  cell(more, formatNumber(tree.rows.length - end) + ' more rows below').colSpan = 6;
  if (!moreObserver) {
    moreObserver = new IntersectionObserver(function (entries) {
      entries.forEach(function (entry) {
        if (!entry.isIntersecting || !entry.target.isConnected)
          return;
        moreObserver.unobserve(entry.target);
        var body = entry.target.parentNode;
        entry.target.remove();
        appendRows(body, state.tree, state.tree.drawn + ROWS_PER_PIECE, state.selected);
      });
    }, { rootMargin: '600px' });
  }
  moreObserver.observe(more);
}

/* After a change of selection: the counts, and the boxes of the rows drawn. */
function refreshChecks(tree, selected) {
  countTree(tree, selected);
  document.querySelectorAll('#rows tr.folder').forEach(function (tr) {
    tr.querySelector('input').checked = folderChecked(tree.nodes[Number(tr.dataset.node)]);
  });
  document.querySelectorAll('#rows tr.member').forEach(function (tr) {
    tr.querySelector('input').checked = selected.has(Number(tr.dataset.index));
  });
}

/* Where in the rows folder @n is, or -1. */
function rowOf(tree, n) {
  return tree.rows.indexOf(n);
}
