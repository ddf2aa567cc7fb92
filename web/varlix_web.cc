/*
 * varlix_web.cc - the web page's way into the library, compiled to
 * WebAssembly: open an installer, answer the worker's questions about it
 * field by field, decode one member into JavaScript. It runs in the page's
 * worker, over files the worker has mounted; it uses the library's public
 * interface and nothing else.
 *
 * The worker builds the records it posts to the page from the accessors
 * below: numbers by field, names as pointers to their raw bytes in the wasm
 * memory (the page converts them from the code page the user picks, and
 * again when the choice changes), volume paths as UTF-8 strings. Reading a
 * member and decoding it are two calls, so that the page can tell the time
 * each takes.
 */
#include <cstdlib>
#include <cstring>
#include <new>

#include <emscripten.h>

#include "archive/archive.h"
#include "cli/status.h"

namespace {

struct web_installer {
    arc_installer installer;
    arc_status status;
    const arc_member *member; /* read by web_read(), for web_decode() */
    uint8_t *packed;          /* its compressed bytes */
};

void drop_packed(web_installer *web)
{
    std::free(web->packed);
    web->packed = nullptr;
    web->member = nullptr;
}

/* Decoded bytes are handed to JavaScript in pieces of up to this size, and at the end. */
const size_t OUTPUT_PIECE_SIZE = 1u << 20;

/* The fields of web_installer_field(), web_volume_field() and web_member_field(); worker.js
   names the same numbers. */
enum web_installer_field_id {
    WEB_INSTALLER_STATUS = 0,
    WEB_INSTALLER_DISK_SET = 1,
    WEB_INSTALLER_VOLUME_COUNT = 2,
    WEB_INSTALLER_FOLDER_COUNT = 3,
    WEB_INSTALLER_MEMBER_COUNT = 4,
};

enum web_volume_field_id {
    WEB_VOLUME_NUMBER = 0,
    WEB_VOLUME_STATUS = 1,
};

enum web_member_field_id {
    WEB_MEMBER_NAME_LENGTH = 0,
    WEB_MEMBER_FOLDER = 1,
    WEB_MEMBER_SIZE = 2,
    WEB_MEMBER_PACKED = 3,
    WEB_MEMBER_DATE = 4,
    WEB_MEMBER_TIME = 5,
    WEB_MEMBER_ATTRIBUTES = 6,
    WEB_MEMBER_VERSION_HIGH = 7,
    WEB_MEMBER_VERSION_LOW = 8,
    WEB_MEMBER_START_VOLUME = 9,
    WEB_MEMBER_END_VOLUME = 10,
    WEB_MEMBER_MISSING_VOLUME = 11,
    WEB_MEMBER_STORED_AS_LENGTH = 12,
};

const arc_member *member_at(const web_installer *web, uint32_t index)
{
    if (web->status != ARC_OK || index >= web->installer.archive.member_count)
        return nullptr;
    return &web->installer.archive.members[index];
}

uint32_t missing_volume_number(const arc_installer &installer, const arc_member &member)
{
    const arc_volume *missing = arc_member_missing_volume(&installer, &member);
    return missing != nullptr ? missing->number : 0;
}

uint32_t stored_as_length(const arc_installer &installer, const arc_member &member)
{
    const char *stored_as = arc_member_stored_as(&installer, &member);
    return stored_as != nullptr ? static_cast<uint32_t>(std::strlen(stored_as)) : 0;
}

EM_JS(void, web_hand_on, (const uint8_t *bytes, size_t length),
      { Module.onOutput(bytes, length); });

bool hand_on(void *, const uint8_t *bytes, size_t length)
{
    web_hand_on(bytes, length);
    return true;
}

} // namespace

extern "C" {

/*
 * web_open() - open the installer at @path: a plain archive, any volume of
 * a disk set (whose siblings are looked for beside it and in disk folders)
 * or an engine container. Returns a handle for the calls below whatever the
 * outcome (web_installer_field() gives it), or null when memory ran out.
 */
EMSCRIPTEN_KEEPALIVE web_installer *web_open(const char *path)
{
    web_installer *web = new (std::nothrow) web_installer();
    if (web == nullptr)
        return nullptr;
    web->status = arc_open_installer(path, &web->installer);
    return web;
}

/*
 * web_installer_field() - the open's arc_status, whether the installer is a
 * disk set (1 or 0), or its count of volumes, folders or members. Volumes
 * are counted after a failed open too, so that a missing one can be named.
 */
EMSCRIPTEN_KEEPALIVE uint32_t web_installer_field(const web_installer *web, uint32_t field)
{
    const arc_installer &installer = web->installer;
    switch (field) {
    case WEB_INSTALLER_STATUS:
        return static_cast<uint32_t>(web->status);
    case WEB_INSTALLER_DISK_SET:
        return installer.disk_set ? 1 : 0;
    case WEB_INSTALLER_VOLUME_COUNT:
        return installer.volume_count;
    case WEB_INSTALLER_FOLDER_COUNT:
        return web->status == ARC_OK ? installer.folder_count : 0;
    case WEB_INSTALLER_MEMBER_COUNT:
        return web->status == ARC_OK ? installer.archive.member_count : 0;
    default:
        return 0;
    }
}

/* web_volume_path() - volume @index's path in UTF-8, found or expected; null past the last. */
EMSCRIPTEN_KEEPALIVE const char *web_volume_path(const web_installer *web, uint32_t index)
{
    return index < web->installer.volume_count ? web->installer.volumes[index].path : nullptr;
}

/* web_volume_field() - volume @index's number (0 outside a set) or arc_status; 0 past the last. */
EMSCRIPTEN_KEEPALIVE uint32_t web_volume_field(const web_installer *web, uint32_t index,
                                               uint32_t field)
{
    if (index >= web->installer.volume_count)
        return 0;
    const arc_volume &volume = web->installer.volumes[index];
    return field == WEB_VOLUME_NUMBER   ? volume.number
           : field == WEB_VOLUME_STATUS ? static_cast<uint32_t>(volume.status)
                                        : 0;
}

/* web_folder_name() - folder @index's raw name bytes, web_folder_name_length() of them. */
EMSCRIPTEN_KEEPALIVE const char *web_folder_name(const web_installer *web, uint32_t index)
{
    return index < web_installer_field(web, WEB_INSTALLER_FOLDER_COUNT)
               ? web->installer.folders[index].name
               : nullptr;
}

EMSCRIPTEN_KEEPALIVE uint32_t web_folder_name_length(const web_installer *web, uint32_t index)
{
    return index < web_installer_field(web, WEB_INSTALLER_FOLDER_COUNT)
               ? web->installer.folders[index].name_length
               : 0;
}

/* web_member_name() - member @index's raw name bytes, WEB_MEMBER_NAME_LENGTH of them. */
EMSCRIPTEN_KEEPALIVE const char *web_member_name(const web_installer *web, uint32_t index)
{
    const arc_member *member = member_at(web, index);
    return member != nullptr ? member->name : nullptr;
}

/*
 * web_member_stored_as() - an engine container's member's second name, raw
 * bytes, WEB_MEMBER_STORED_AS_LENGTH of them; null for an archive's member.
 */
EMSCRIPTEN_KEEPALIVE const char *web_member_stored_as(const web_installer *web, uint32_t index)
{
    const arc_member *member = member_at(web, index);
    return member != nullptr ? arc_member_stored_as(&web->installer, member) : nullptr;
}

/*
 * web_member_field() - one number of member @index: its name's length, its
 * folder index, size, packed size, DOS date and time, attributes, file
 * version halves, start and end volumes, the number of the first missing
 * volume it needs (or 0), and its second name's length (0 when none).
 * 0 for a member that does not exist.
 */
EMSCRIPTEN_KEEPALIVE uint32_t web_member_field(const web_installer *web, uint32_t index,
                                               uint32_t field)
{
    const arc_member *member = member_at(web, index);
    if (member == nullptr)
        return 0;
    switch (field) {
    case WEB_MEMBER_NAME_LENGTH:
        return static_cast<uint32_t>(std::strlen(member->name));
    case WEB_MEMBER_FOLDER:
        return member->folder;
    case WEB_MEMBER_SIZE:
        return member->unpacked_size;
    case WEB_MEMBER_PACKED:
        return member->packed_size;
    case WEB_MEMBER_DATE:
        return member->dos_date;
    case WEB_MEMBER_TIME:
        return member->dos_time;
    case WEB_MEMBER_ATTRIBUTES:
        return member->attributes;
    case WEB_MEMBER_VERSION_HIGH:
        return member->version_high;
    case WEB_MEMBER_VERSION_LOW:
        return member->version_low;
    case WEB_MEMBER_START_VOLUME:
        return member->start_volume;
    case WEB_MEMBER_END_VOLUME:
        return member->end_volume;
    case WEB_MEMBER_MISSING_VOLUME:
        return missing_volume_number(web->installer, *member);
    case WEB_MEMBER_STORED_AS_LENGTH:
        return stored_as_length(web->installer, *member);
    default:
        return 0;
    }
}

/*
 * web_read() - read the compressed bytes of member @index, from every volume
 * it lies in, and keep them for web_decode(). Returns the arc_status of
 * reading, as the library gives it; after a failure nothing is kept. The
 * member's claim is checked against its volumes before memory is taken for
 * it, so that a record claiming gigabytes fails as the command fails.
 */
EMSCRIPTEN_KEEPALIVE int web_read(web_installer *web, uint32_t index)
{
    drop_packed(web);
    const arc_member *member = member_at(web, index);
    if (member == nullptr)
        return ARC_ERR_NO_MEMBER;
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    const arc_status claim = arc_member_pieces(&web->installer, member, pieces, &piece_count);
    if (claim != ARC_OK)
        return claim;
    /* malloc(0) may return null, which is not a failure here: ask for a byte. */
    web->packed =
        static_cast<uint8_t *>(std::malloc(member->packed_size != 0 ? member->packed_size : 1));
    if (web->packed == nullptr)
        return ARC_ERR_NO_MEMORY;
    const arc_status status = arc_read_member_data(&web->installer, member, web->packed);
    if (status != ARC_OK)
        drop_packed(web);
    else
        web->member = member;
    return status;
}

/*
 * web_decode() - decode the member web_read() read, handing its bytes in
 * order to Module.onOutput(pointer, length), up to 1 MiB at a time and never
 * more than the recorded size in all; they are valid during the call only.
 * Returns the arc_status of decoding, as the library gives it: only ARC_OK
 * means that the bytes handed on are the whole member. The compressed bytes
 * are released.
 */
EMSCRIPTEN_KEEPALIVE int web_decode(web_installer *web)
{
    if (web->member == nullptr)
        return ARC_ERR_NO_MEMBER;
    uint8_t *piece = static_cast<uint8_t *>(std::malloc(OUTPUT_PIECE_SIZE));
    arc_status status = ARC_ERR_NO_MEMORY;
    if (piece != nullptr) {
        arc_buffered_sink sink = {piece,  OUTPUT_PIECE_SIZE, 0, web->member->unpacked_size, hand_on,
                                  nullptr};
        status = arc_decode_member(web->packed, web->member, arc_buffered_sink_take, &sink);
        arc_buffered_sink_flush(&sink);
    }
    std::free(piece);
    drop_packed(web);
    return status;
}

/*
 * web_warm_up() - decode a made-up stream of literals, in each literal mode,
 * through the same calls as a member, keeping nothing. A browser runs code
 * first in a quick first compile and optimises it only once it has run a
 * while, and a call already under way keeps the code it started with:
 * without this, the first member the user takes out decodes wholly in
 * unoptimised code.
 */
EMSCRIPTEN_KEEPALIVE void web_warm_up(void)
{
    const uint32_t size = 256u << 10;
    uint8_t *stream = static_cast<uint8_t *>(std::calloc(size, 1));
    if (stream == nullptr)
        return;
    arc_member member = {};
    member.packed_size = size;
    /* No room: every byte is counted and dropped, and nothing is handed on. */
    arc_buffered_sink sink = {nullptr, OUTPUT_PIECE_SIZE, 0, 0, hand_on, nullptr};
    for (uint8_t literal_mode = 0; literal_mode <= 1; ++literal_mode) {
        stream[0] = literal_mode;
        stream[1] = 6;
        arc_decode_member(stream, &member, arc_buffered_sink_take, &sink);
    }
    std::free(stream);
}

/* web_status_text() - the message for @status, the same text the command line tools print. */
EMSCRIPTEN_KEEPALIVE const char *web_status_text(int status)
{
    return arc_status_text(status);
}

/* web_close() - release @web and close its files. Accepts null. */
EMSCRIPTEN_KEEPALIVE void web_close(web_installer *web)
{
    if (web == nullptr)
        return;
    drop_packed(web);
    arc_close_installer(&web->installer);
    delete web;
}

} // extern "C"
