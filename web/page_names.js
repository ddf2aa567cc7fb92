/*
 * page_names.js - what an installer's names become, by the rules
 * varlix-unpack follows, so that both take out the same files under the
 * same paths and refuse the same ones for the same reason: a name must
 * convert from the code page exactly, nothing may land outside the folder
 * written to, and no path may be longer than the command allows. Also the
 * filter's wildcards, matched as the command matches its patterns.
 */

/* The longest path a member may have: its parts, and their bytes of UTF-8 joined by '/'. */
var MAX_PATH_PARTS = 128;
var MAX_PATH_BYTES = 1024;
/* A message shows a name longer than this with its middle left out. */
var LONGEST_SHOWN = 500;

/* The decoders of a code page: lenient to show names, strict to write them. */
function codePage(encoding, name) {
  return { encoding: encoding, name: name, lenient: new TextDecoder(encoding),
    strict: new TextDecoder(encoding, { fatal: true }) };
}

function baseName(path) {
  return path.substring(path.lastIndexOf('/') + 1);
}

function asciiLower(text) {
  return text.replace(/[A-Z]+/g, function (c) { return c.toLowerCase(); });
}

/* A name in a message: control characters as \xHH, so that it stays on one line. */
function shown(text) {
  if (!/[\u0000-\u001f\u007f]/.test(text))
    return text;
  return text.replace(/[\u0000-\u001f\u007f]/g, function (c) {
    return '\\x' + c.charCodeAt(0).toString(16).toUpperCase().padStart(2, '0');
  });
}

/* A path for the screen: whole up to LONGEST_SHOWN characters, else its two ends. */
function elided(text) {
  if (text.length <= LONGEST_SHOWN)
    return text;
  var end = LONGEST_SHOWN / 2;
  return text.substring(0, end) + ' … ' + text.substring(text.length - end) + ' (' +
    text.length.toLocaleString() + ' characters)';
}

function joinPath(folder, name) {
  return folder === '' ? name : folder + '/' + name;
}

function utf8Length(text) {
  var length = 0;
  for (var i = 0; i < text.length; ++i) {
    var unit = text.charCodeAt(i);
    length += unit < 0x80 ? 1 : unit < 0x800 ? 2 : unit >= 0xD800 && unit < 0xDC00 ? 4 : 3;
    if (unit >= 0xD800 && unit < 0xDC00)
      ++i;
  }
  return length;
}

/*
 * Every code page offered maps the bytes below 0x80 to ASCII, and most
 * names are short and ASCII: those are converted without a decoder's call.
 */
function asciiText(bytes) {
  if (bytes.length > 1024)
    return null;
  for (var i = 0; i < bytes.length; ++i) {
    if (bytes[i] >= 0x80)
      return null;
  }
  return String.fromCharCode.apply(null, bytes);
}

function strictText(page, bytes) {
  var ascii = asciiText(bytes);
  if (ascii !== null)
    return { text: ascii, exact: true };
  try {
    return { text: page.strict.decode(bytes), exact: true };
  } catch (error) {
    return { text: page.lenient.decode(bytes), exact: false };
  }
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

/* varlix-unpack's temporary files: ".varlix-unpack-", anything, ".tmp". */
function isTemporaryName(name) {
  if (name.length < 19 || name[0] !== '.')
    return false;
  var folded = asciiLower(name);
  return folded.startsWith('.varlix-unpack-') && folded.endsWith('.tmp');
}

/*
 * A folder: its parts as written (none for the root, or when unsafe), the
 * parts as shown whatever they hold, its path in messages, its problem or
 * '', and the bytes of UTF-8 of its parts joined.
 */
function folderName(page, bytes) {
  var converted = strictText(page, bytes);
  var folder = { parts: [], shownParts: [], display: '', problem: '',
    bytes: utf8Length(converted.text) };
  if (converted.text === '')
    return folder;
  var parts = converted.text.split('\\');
  folder.shownParts = parts; /* leniently converted when not exact */
  /* shown() writes no '\', so this is each part shown, joined by '/'. */
  folder.display = shown(converted.text).replace(/\\/g, '/');
  if (!converted.exact)
    folder.problem = 'bytes that are not ' + page.name + ' text';
  else if (parts[0] === '' ? parts.length > 1 : parts[0][0] === '/')
    folder.problem = 'an absolute path';
  for (var i = 0; i < parts.length && !folder.problem; ++i)
    folder.problem = partProblem(parts[i], i === 0);
  if (!folder.problem)
    folder.parts = parts;
  return folder;
}

function tooLong(folder, name) {
  var bytes = folder.bytes + (folder.parts.length ? 1 : 0) + utf8Length(name);
  return folder.parts.length + 1 > MAX_PATH_PARTS || bytes > MAX_PATH_BYTES;
}

/* A member: its own name, as written and as shown, and the first problem of its path or ''. */
function memberName(page, folder, bytes) {
  var converted = strictText(page, bytes);
  var name = converted.text;
  var problem = folder.problem;
  if (!problem && !converted.exact)
    problem = 'bytes that are not ' + page.name + ' text';
  else if (!problem && name.indexOf('\\') >= 0)
    problem = "a '\\' in a member's name";
  else if (!problem)
    problem = partProblem(name, folder.display === '');
  if (!problem && isTemporaryName(name))
    problem = "a name of the form varlix-unpack's temporary files take";
  if (!problem && tooLong(folder, name))
    problem = 'too long';
  return { name: name, shownName: converted.exact ? name : page.lenient.decode(bytes),
    display: shown(name.replace(/\\/g, '/')), problem: problem };
}

/* Every folder's and member's name in the code page @page, worked out once. */
function namesOf(archive, page) {
  if (archive.names && archive.names.page === page)
    return archive.names;
  var folders = archive.folderBytes.map(function (bytes) { return folderName(page, bytes); });
  var members = archive.memberBytes.map(function (bytes, i) {
    var member = archive.listing.members[i];
    var name = memberName(page, folders[member.folder], bytes);
    /* An engine container's second name, shown beside the name; nothing is written under it. */
    name.storedAs = member.stored_as ? shown(page.lenient.decode(member.stored_as)) : null;
    return name;
  });
  archive.names = { page: page, folders: folders, members: members };
  return archive.names;
}

/* A member's path in messages, as the command writes it. */
function memberDisplay(names, archive, index) {
  var folder = names.folders[archive.listing.members[index].folder];
  return joinPath(folder.display, names.members[index].display);
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

/*
 * The filter: shell wildcards matched as varlix-unpack matches its
 * patterns, against the path ('/' between parts) and the bare name, ASCII
 * case ignored. '*' matches any run of characters, '/' included; '?' one
 * character; "[...]" one of a set, with ranges and a leading '!' or '^' to
 * negate; a '\' outside a set stands for '/'. Only the last '*' is ever
 * taken back, so a match costs at most the pattern's length times the
 * text's, whatever either holds.
 */

var STAR = 42, QUESTION = 63, OPEN = 91, CLOSE = 93, DASH = 45, BACKSLASH = 92, SLASH = 47;

function fold(c) {
  return c >= 65 && c <= 90 ? c + 32 : c;
}

/* The set at @p[start] (just after its '[') against @c: its end and outcome, or null when unclosed. */
function matchSet(p, start, c) {
  var at = start;
  var negated = at < p.length && (p[at] === 33 || p[at] === 94);
  if (negated)
    ++at;
  var matched = false;
  for (var first = true; at < p.length && (first || p[at] !== CLOSE); first = false) {
    var low = fold(p[at++]), high = low;
    if (at + 1 < p.length && p[at] === DASH && p[at + 1] !== CLOSE) {
      high = fold(p[at + 1]);
      at += 2;
    }
    matched = matched || (low <= fold(c) && fold(c) <= high);
  }
  if (at >= p.length)
    return null;
  return { end: at + 1, matched: matched !== negated };
}

/* One pattern element at @p[at] against the character @c: where the pattern goes on, or -1. */
function matchOne(p, at, c) {
  if (p[at] === QUESTION)
    return at + 1;
  if (p[at] === OPEN) {
    var set = matchSet(p, at + 1, c);
    if (set)
      return set.matched ? set.end : -1;
  }
  var wanted = p[at] === BACKSLASH ? SLASH : p[at];
  return fold(wanted) === fold(c) ? at + 1 : -1;
}

function wildcardMatches(p, text) {
  var at = 0, t = 0, starAt = -1, starT = 0;
  while (t < text.length) {
    if (at < p.length && p[at] === STAR) {
      starAt = ++at;
      starT = t;
      continue;
    }
    var c = text.codePointAt(t);
    var next = at < p.length ? matchOne(p, at, c) : -1;
    if (next >= 0) {
      at = next;
      t += c > 0xFFFF ? 2 : 1;
      continue;
    }
    if (starAt < 0)
      return false;
    /* Let the last '*' take one more character and try again from there. */
    at = starAt;
    starT += text.codePointAt(starT) > 0xFFFF ? 2 : 1;
    t = starT;
  }
  while (at < p.length && p[at] === STAR)
    ++at;
  return at === p.length;
}

function patternTest(pattern) {
  var p = Array.from(pattern, function (c) { return c.codePointAt(0); });
  return function (path, name) {
    return wildcardMatches(p, name) || wildcardMatches(p, path);
  };
}
