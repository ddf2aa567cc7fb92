/*
 * worker.js - the page's worker: the library compiled to WebAssembly, the
 * files the user gave mounted read-only (WORKERFS reads them in place, it
 * copies nothing), and every member decoded here, away from the page.
 *
 * Appended to emscripten's glue, so that FS, WORKERFS and the web_ exports
 * are in scope. Messages in: open (files), open-folder (a folder's files by
 * their paths), extract. Messages out: opened, progress, file, zip, saved,
 * failed.
 */
var varlixReady = new Promise(function (resolve) {
    if (runtimeInitialized)
        resolve();
    else
        Module.onRuntimeInitialized = resolve;
}).then(function () {
    _web_warm_up();
});
/*
 * WORKERFS reads a file through FileReaderSync, which costs milliseconds a
 * call however few bytes it returns: 4,096 small members read one by one
 * took seconds. A read shorter than a block is served from the last block
 * read of its file, a block being read from where that read starts.
 */
var VARLIX_READ_BLOCK = 1048576;
(function () {
    var readDirectly = WORKERFS.stream_ops.read;
    WORKERFS.stream_ops.read = function (stream, buffer, offset, length, position) {
        var node = stream.node;
        if (length >= VARLIX_READ_BLOCK || position >= node.size)
            return readDirectly(stream, buffer, offset, length, position);
        var block = node.varlixBlock;
        if (!block || position < block.start || position + length > block.end) {
            var end = Math.min(node.size, position + VARLIX_READ_BLOCK);
            var bytes = WORKERFS.reader.readAsArrayBuffer(node.contents.slice(position, end));
            block = node.varlixBlock = { start: position, end: end, bytes: new Uint8Array(bytes) };
        }
        var taken = Math.min(length, block.end - position);
        buffer.set(block.bytes.subarray(position - block.start, position - block.start + taken),
            offset);
        return taken;
    };
})();
var varlixMounts = 0;
var varlixMounted = null;
var varlixInstallers = {}; /* id -> handle */
var varlixNextId = 1;

function varlixStatusText(status) {
    return UTF8ToString(_web_status_text(status));
}

/* The numbers varlix_web.cc gives its fields. */
var VARLIX_INSTALLER_FIELDS = { status: 0, diskSet: 1, volumeCount: 2, folderCount: 3,
    memberCount: 4 };
var VARLIX_VOLUME_FIELDS = { number: 0, status: 1 };
var VARLIX_MEMBER_FIELDS = ['name_length', 'folder', 'size', 'packed', 'date', 'time',
    'attributes', 'version_high', 'version_low', 'start_volume', 'end_volume', 'missing_volume',
    'stored_as_length'];

/* @length bytes at @pointer in the wasm memory, copied out; null for a null pointer. */
function varlixBytes(pointer, length) {
    return pointer === 0 ? null : HEAPU8.slice(pointer, pointer + length);
}

function varlixVolume(handle, i) {
    var status = _web_volume_field(handle, i, VARLIX_VOLUME_FIELDS.status);
    return { path: UTF8ToString(_web_volume_path(handle, i)),
        number: _web_volume_field(handle, i, VARLIX_VOLUME_FIELDS.number) >>> 0, status: status,
        status_text: varlixStatusText(status) };
}

function varlixMember(handle, i) {
    var member = {};
    VARLIX_MEMBER_FIELDS.forEach(function (field, number) {
        member[field] = _web_member_field(handle, i, number) >>> 0;
    });
    member.name = varlixBytes(_web_member_name(handle, i), member.name_length);
    member.stored_as = varlixBytes(_web_member_stored_as(handle, i), member.stored_as_length);
    return member;
}

/*
 * The installer as the page takes it: the open's status, whether it is a
 * disk set or an engine container, its volumes (path, number, status and its
 * text), folders (raw name) and members (raw name and second name, and
 * their numbers).
 */
function varlixListing(handle) {
    var field = function (name) {
        return _web_installer_field(handle, VARLIX_INSTALLER_FIELDS[name]) >>> 0;
    };
    var listing = { status: field('status'), disk_set: field('diskSet') === 1, volumes: [],
        folders: [], members: [] };
    for (var v = 0; v < field('volumeCount'); ++v)
        listing.volumes.push(varlixVolume(handle, v));
    for (var f = 0; f < field('folderCount'); ++f)
        listing.folders.push({ name: varlixBytes(_web_folder_name(handle, f),
            _web_folder_name_length(handle, f) >>> 0) });
    for (var m = 0; m < field('memberCount'); ++m)
        listing.members.push(varlixMember(handle, m));
    listing.container = listing.members.length !== 0 && listing.members[0].stored_as !== null;
    return listing;
}

function varlixOpenOne(path) {
    var handle = ccall('web_open', 'number', ['string'], [path]);
    if (handle === 0)
        return { status: 7, text: varlixStatusText(7) }; /* out of memory */
    var listing = varlixListing(handle);
    if (listing.status !== 0) {
        _web_close(handle);
        return { status: listing.status, text: varlixStatusText(listing.status), listing: listing };
    }
    var id = varlixNextId++;
    varlixInstallers[id] = handle;
    return { status: 0, id: id, listing: listing };
}

/* Closes the installers and unmounts the files of an earlier open. */
function varlixForget(installers, folder) {
    Object.keys(installers).forEach(function (id) {
        _web_close(installers[id]);
    });
    FS.unmount(folder);
}

/*
 * Mounts @files (WORKERFS's 'files' or 'blobs') in a folder of its own:
 * /in<n>/given. The library looks for a set's volumes in the folders beside
 * the given file's folder that are named as it is but for a number, so the
 * folder the files are in has no number, and nothing of an earlier open is
 * beside it.
 */
function varlixMount(files) {
    var top = '/in' + ++varlixMounts;
    var folder = top + '/given';
    FS.mkdir(top);
    FS.mkdir(folder);
    FS.mount(WORKERFS, files, folder);
    return folder;
}

/*
 * Opens @open(folder) over @files mounted: its results, and the handles it
 * made replace those of the earlier open; when none of them opens, what was
 * open before stays open.
 */
function varlixOpenMounted(files, open) {
    var before = varlixInstallers;
    varlixInstallers = {};
    var folder = varlixMount(files);
    var results = open(folder);
    if (Object.keys(varlixInstallers).length === 0) {
        varlixForget({}, folder);
        varlixInstallers = before;
    } else {
        if (varlixMounted)
            varlixForget(before, varlixMounted);
        varlixMounted = folder;
    }
    return results;
}

/* The paths of the volumes found, as keys. */
function varlixTakeVolumes(result, taken) {
    (result.listing ? result.listing.volumes : []).forEach(function (volume) {
        if (volume.status === 0)
            taken[volume.path] = true;
    });
}

/*
 * Several files, not in a folder: each one opened that is not a volume of a
 * set already opened, the library finding a set's volumes beside it, as the
 * command finds them beside the given file.
 */
function varlixOpen(files) {
    var unique = [];
    var seen = {};
    var results = [];
    files.forEach(function (file) {
        if (seen[file.name]) {
            results.push({ file: file.name, status: -1 });
            return;
        }
        seen[file.name] = true;
        unique.push(file);
    });
    return results.concat(varlixOpenMounted({ files: unique }, function (folder) {
        var opened = [];
        var taken = {};
        unique.map(function (file) { return file.name; }).sort().forEach(function (name) {
            var path = folder + '/' + name;
            if (taken[path])
                return;
            var result = varlixOpenOne(path);
            result.file = name;
            varlixTakeVolumes(result, taken);
            opened.push(result);
        });
        return opened;
    }));
}

/* Text in the order of its UTF-8 bytes, which is the order of its code points. */
function varlixByteOrder(a, b) {
    var i = 0, j = 0;
    while (i < a.length && j < b.length) {
        var x = a.codePointAt(i), y = b.codePointAt(j);
        if (x !== y)
            return x < y ? -1 : 1;
        i += x > 0xFFFF ? 2 : 1;
        j += y > 0xFFFF ? 2 : 1;
    }
    return i < a.length ? 1 : j < b.length ? -1 : 0;
}

/* Whether the file starts as an archive (13 5D 65 8C) or an engine container (2A AB 79 D8). */
function varlixHasSignature(file) {
    if (file.size < 4)
        return false;
    var head = new Uint8Array(WORKERFS.reader.readAsArrayBuffer(file.slice(0, 4)));
    var word = (head[0] | head[1] << 8 | head[2] << 16 | head[3] << 24) >>> 0;
    return word === 0x8C655D13 || word === 0xD879AB2A;
}

/* The lowest-numbered volume found of an opened installer: the one that names it. */
function varlixNamingVolume(listing) {
    var present = listing.volumes.filter(function (volume) { return volume.status === 0; });
    present.sort(function (a, b) { return a.number - b.number; });
    return present[0];
}

/*
 * A folder, as varlix-unpack takes one: @entries are its files, each with
 * its path relative to it ('/' between parts). Every file that starts with
 * a signature is an installer or a volume of one, whatever its name; a set
 * is opened once, named by the path of its lowest-numbered volume present.
 * The other files are counted. Installers come in the order of their paths'
 * bytes, failures with them.
 */
function varlixOpenFolder(entries) {
    var skipped = 0;
    var sorted = entries.slice().sort(function (a, b) { return varlixByteOrder(a.path, b.path); });
    var opened = varlixOpenMounted({ blobs: sorted.map(function (entry) {
        return { name: entry.path, data: entry.file };
    }) }, function (folder) {
        var results = [];
        var taken = {};
        sorted.forEach(function (entry) {
            var path = folder + '/' + entry.path;
            if (taken[path])
                return;
            if (!varlixHasSignature(entry.file)) {
                ++skipped;
                return;
            }
            var result = varlixOpenOne(path);
            varlixTakeVolumes(result, taken);
            var naming = result.status === 0 ? varlixNamingVolume(result.listing).path : path;
            result.file = naming.substring(folder.length + 1);
            results.push(result);
        });
        return results;
    });
    opened.sort(function (a, b) { return varlixByteOrder(a.file, b.file); });
    return { results: opened, skipped: skipped };
}

/* Decoded bytes gather in pieces of this size, allocated as the bytes come. */
var VARLIX_PIECE_SIZE = 16 * 1048576;

/*
 * Takes the decoded bytes into Uint8Arrays: copied out of the wasm memory
 * once, then handed to the page, the zip writer or the folder as they are.
 */
function varlixPieceTaker(size) {
    var pieces = [];
    var filled = 0;
    return {
        parts: pieces,
        take: function (pointer, length) {
            while (length !== 0) {
                if (pieces.length === 0 || filled === pieces[pieces.length - 1].length) {
                    pieces.push(new Uint8Array(Math.min(size - pieces.length * VARLIX_PIECE_SIZE,
                        VARLIX_PIECE_SIZE)));
                    filled = 0;
                }
                var piece = pieces[pieces.length - 1];
                var taken = Math.min(length, piece.length - filled);
                piece.set(HEAPU8.subarray(pointer, pointer + taken), filled);
                filled += taken;
                pointer += taken;
                length -= taken;
            }
        }
    };
}

/*
 * Reads and decodes one member into @taker; returns the status, the parts
 * when the member is whole, and the seconds reading and decoding took.
 */
function varlixDecode(handle, index, taker, onBytes) {
    var started = performance.now();
    var status = _web_read(handle, index);
    var read = performance.now();
    if (status === 0) {
        Module.onOutput = function (pointer, length) {
            taker.take(pointer, length);
            onBytes(length);
        };
        status = _web_decode(handle);
        Module.onOutput = null;
    }
    return { status: status, parts: status === 0 ? taker.parts : [],
        readSeconds: (read - started) / 1000, decodeSeconds: (performance.now() - read) / 1000 };
}

/*
 * A DOS date and time as a local Date, within the years a zip can hold; as
 * the command does, a date that is no date gives the file the time it is
 * written.
 */
function varlixZipTime(date, time) {
    var year = 1980 + (date >> 9), month = (date >> 5) & 15, day = date & 31;
    var hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
    var days = new Date(year, month, 0).getDate();
    if (month < 1 || month > 12 || day < 1 || day > days || hour > 23 || minute > 59 ||
        second > 59)
        return new Date();
    return new Date(Math.min(year, 2099), month - 1, day, hour, minute, second);
}

/*
 * Counts decoded bytes against @total and tells the page now and then;
 * passed(size) counts a member done whatever it gave, failed ones included.
 */
function varlixProgressReporter(total) {
    var done = 0;
    var reported = 0;
    var settled = 0;
    var report = function (length) {
        done += length;
        /* A message per piece of a large member, not per small member. */
        if (done - reported >= 1048576 || done === total) {
            reported = done;
            postMessage({ type: 'progress', done: done, total: total });
        }
    };
    report.passed = function (size) {
        settled += size;
        report(settled - done);
    };
    return report;
}

function varlixExtractFile(request) {
    var group = request.groups[0];
    var item = group.items[0];
    var result = varlixDecode(varlixHandle(group), item.index, varlixPieceTaker(item.size),
        varlixProgressReporter(item.size));
    var buffers = result.parts.map(function (piece) { return piece.buffer; });
    postMessage({
        type: 'file', name: item.parts[item.parts.length - 1], index: item.index,
        status: result.status, text: varlixStatusText(result.status), pieces: buffers,
        readSeconds: result.readSeconds, decodeSeconds: result.decodeSeconds
    }, buffers);
}

/* Where an item goes: its installer's folder, then its own path; null when it goes nowhere. */
function varlixItemPath(group, item) {
    return item.parts ? group.prefix.concat(item.parts) : null;
}

/* The zip's own note of what was left out, named so that it meets nothing at the top. */
function varlixErrorsName(request) {
    var taken = {};
    request.groups.forEach(function (group) {
        group.items.forEach(function (item) {
            var parts = varlixItemPath(group, item);
            if (parts)
                taken[parts[0].toLowerCase()] = true;
        });
        if (group.prefix.length === 0)
            group.folders.forEach(function (folder) {
                if (folder[0] < 0)
                    taken[folder[1].toLowerCase()] = true;
            });
    });
    var name = 'ERRORS.txt';
    for (var n = 2; taken[name.toLowerCase()]; ++n)
        name = 'ERRORS-' + n + '.txt';
    return name;
}

/*
 * A member's path as the command writes it in a message: its installer's
 * folder when there is one, its folder's path and its own name.
 */
function varlixDisplay(group, item) {
    var folder = group.folderDisplays[item.folder];
    var path = folder === '' ? item.name : folder + '/' + item.name;
    return group.display === '' ? path : group.display + '/' + path;
}

/*
 * The note's lines, encoded a megabyte or so at a time (a path may be
 * 64 KiB long): installers that could not be opened, then members.
 */
function varlixErrorsPieces(request, errors) {
    var pieces = [];
    var failed = request.failures || [];
    var text = (failed.length ? 'These installers and members' : 'These members') +
        ' were left out:\r\n';
    var encoder = new TextEncoder();
    var add = function (line) {
        text += line + '\r\n';
        if (text.length >= 1048576) {
            pieces.push(encoder.encode(text));
            text = '';
        }
    };
    failed.forEach(function (failure) { add(failure.path + ': ' + failure.text); });
    errors.forEach(function (error) {
        var group = request.groups[error.group];
        add(varlixDisplay(group, group.items[error.item]) + ': ' + error.text);
    });
    pieces.push(encoder.encode(text));
    return pieces;
}

/*
 * Stored, not deflated: fflate's deflate runs at a tenth of the speed of
 * decoding, or less, and the zip goes to the disk the files will go to.
 */
function varlixAddToZip(zip, name, pieces, options) {
    var entry = new fflate.ZipPassThrough(name);
    entry.mtime = options.mtime;
    entry.attrs = options.attrs;
    zip.add(entry);
    if (pieces.length === 0)
        entry.push(new Uint8Array(0), true);
    pieces.forEach(function (piece, i) {
        entry.push(piece, i === pieces.length - 1);
    });
}

/*
 * Left out, with the reason, when it could not be had or it has no safe
 * place: an error names the group and the item; a status, when decoding
 * failed.
 */
function varlixDecodeItem(request, g, i, progress, errors) {
    var group = request.groups[g];
    var item = group.items[i];
    var error = { group: g, item: i, archive: group.archive, index: item.index };
    if (item.error) {
        error.text = item.error;
        errors.push(error);
        progress.passed(item.size);
        return null;
    }
    var result = varlixDecode(varlixHandle(group), item.index, varlixPieceTaker(item.size),
        progress);
    progress.passed(item.size);
    if (result.status !== 0) {
        error.status = result.status;
        error.text = varlixStatusText(result.status);
        errors.push(error);
        return null;
    }
    return result.parts;
}

/*
 * Every folder to make, once whatever the case of its ASCII letters: each
 * installer's own folder and the folders leading to it, then its folders,
 * given as [the index of the folder holding it or -1, its name].
 */
function varlixFolderPaths(groups) {
    var paths = [];
    var listed = {};
    var add = function (path) {
        var key = path.replace(/[A-Z]+/g, function (c) { return c.toLowerCase(); });
        if (!listed[key])
            paths.push(path);
        listed[key] = true;
    };
    groups.forEach(function (group) {
        group.prefix.forEach(function (part, k) { add(group.prefix.slice(0, k + 1).join('/')); });
        var inside = [];
        var top = group.prefix.length ? group.prefix.join('/') + '/' : '';
        group.folders.forEach(function (folder) {
            inside.push(folder[0] < 0 ? folder[1] : inside[folder[0]] + '/' + folder[1]);
            add(top + inside[inside.length - 1]);
        });
    });
    return paths;
}

function varlixTotalSize(request) {
    return request.groups.reduce(function (sum, group) {
        return group.items.reduce(function (s, item) { return s + item.size; }, sum);
    }, 0);
}

function varlixExtractZip(request) {
    var output = [];
    var zip = new fflate.Zip(function (error, chunk) {
        if (error)
            throw error;
        output.push(chunk);
    });
    var errors = [];
    var progress = varlixProgressReporter(varlixTotalSize(request));
    var written = 0;
    var now = new Date();
    if (request.everything) {
        varlixFolderPaths(request.groups).forEach(function (path) {
            varlixAddToZip(zip, path + '/', [], { mtime: now, attrs: 0x10 });
        });
    }
    request.groups.forEach(function (group, g) {
        group.items.forEach(function (item, i) {
            var pieces = varlixDecodeItem(request, g, i, progress, errors);
            if (pieces === null)
                return;
            varlixAddToZip(zip, varlixItemPath(group, item).join('/'), pieces,
                { mtime: varlixZipTime(item.date, item.time), attrs: item.attributes & 0x27 });
            ++written;
        });
    });
    if (errors.length !== 0 || (request.failures || []).length !== 0) {
        varlixAddToZip(zip, varlixErrorsName(request), varlixErrorsPieces(request, errors),
            { mtime: now, attrs: 0 });
    }
    zip.end();
    postMessage({
        type: 'zip', blob: new Blob(output, { type: 'application/zip' }), written: written,
        errors: errors
    });
}

/* Folders made on the way; an existing file is kept and reported, never replaced. */
async function varlixSaveOne(root, path, pieces) {
    var folder = root;
    for (var i = 0; i + 1 < path.length; ++i)
        folder = await folder.getDirectoryHandle(path[i], { create: true });
    var name = path[path.length - 1];
    var exists = await folder.getFileHandle(name).then(function () { return true; },
        function () { return false; });
    if (exists)
        return 'exists already, kept';
    var file = await folder.getFileHandle(name, { create: true });
    var writable = await file.createWritable();
    for (var k = 0; k < pieces.length; ++k)
        await writable.write(pieces[k]);
    await writable.close();
    return null;
}

async function varlixSaveToFolder(request) {
    var errors = [];
    var progress = varlixProgressReporter(varlixTotalSize(request));
    var written = 0;
    for (var g = 0; g < request.groups.length; ++g) {
        var group = request.groups[g];
        for (var i = 0; i < group.items.length; ++i) {
            var pieces = varlixDecodeItem(request, g, i, progress, errors);
            if (pieces === null)
                continue;
            var problem;
            try {
                problem = await varlixSaveOne(request.directory,
                    varlixItemPath(group, group.items[i]), pieces);
            } catch (error) {
                problem = 'it could not be written (' + error.message + ')';
            }
            if (problem) {
                errors.push({ group: g, item: i, archive: group.archive,
                    index: group.items[i].index, text: problem });
            } else {
                ++written;
            }
        }
    }
    postMessage({ type: 'saved', written: written, errors: errors });
}

function varlixHandle(group) {
    var handle = varlixInstallers[group.archive];
    if (!handle)
        throw new Error('that archive is no longer open');
    return handle;
}

/*
 * An extract request: the mode ('file', 'zip' or 'folder') and groups, one
 * per installer: its id, the folder its members go to (prefix, its parts;
 * display, as shown; both empty outside a folder opened whole), the
 * folders' paths as shown (folderDisplays) and items, each a member's
 * index, size, date, time and attributes with either its path's parts or
 * the reason it goes nowhere, and its folder's index and its own name as
 * shown, for messages; for "Download all" (everything), the installer's
 * folders to make. failures: the installers of the folder that could not
 * be opened, for ERRORS.txt.
 */
function varlixExtract(request) {
    request.groups.forEach(varlixHandle);
    if (request.mode === 'file')
        return varlixExtractFile(request);
    if (request.mode === 'zip')
        return varlixExtractZip(request);
    return varlixSaveToFolder(request);
}

function varlixOpened(request) {
    if (request.type === 'open')
        return { type: 'opened', results: varlixOpen(request.files), again: request.again };
    var sweep = varlixOpenFolder(request.entries);
    return { type: 'opened', results: sweep.results, skipped: sweep.skipped, folder: true,
        again: request.again };
}

onmessage = function (event) {
    var request = event.data;
    varlixReady.then(function () {
        if (request.type === 'open' || request.type === 'open-folder')
            postMessage(varlixOpened(request));
        else
            return varlixExtract(request);
    }).catch(function (error) {
        postMessage({ type: 'failed', text: String(error && error.message || error) });
    });
};
