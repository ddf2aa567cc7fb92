/*
 * varlix_web.cc - the web page's way into the library, compiled to
 * WebAssembly: open an installer, describe it in JSON, decode one member
 * into JavaScript. It runs in the page's worker, over files the worker has
 * mounted; it uses the library's public interface and nothing else.
 *
 * Reading a member and decoding it are two calls, so that the page can tell
 * the time each takes. Names leave as raw bytes in hex: the page converts them from the code page
 * the user picks, and converts them again when the choice changes.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <emscripten.h>

#include "archive/archive.h"
#include "cli/status.h"
#include "varlix_version.h"

namespace {

struct web_installer {
    arc_installer installer;
    arc_status status;
    std::string listing;
    const arc_member *member; /* read by web_read(), for web_decode() */
    uint8_t *packed;          /* its compressed bytes */
};

void drop_packed(web_installer *web)
{
    std::free(web->packed);
    web->packed = nullptr;
    web->member = nullptr;
}

/* Decoded bytes are handed to JavaScript in pieces of this size, and at the end. */
const uint32_t OUTPUT_PIECE_SIZE = 1u << 20;

struct web_output {
    uint8_t *piece;
    uint32_t used;
    uint64_t kept;  /* bytes handed on or waiting in the piece */
    uint64_t limit; /* the recorded size: bytes past it are counted by the library, not kept */
};

void append_number(std::string *json, uint64_t value)
{
    char digits[24];
    std::snprintf(digits, sizeof(digits), "%llu", static_cast<unsigned long long>(value));
    *json += digits;
}

void append_hex(std::string *json, const char *bytes, size_t length)
{
    static const char HEX[] = "0123456789abcdef";
    *json += '"';
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = static_cast<uint8_t>(bytes[i]);
        *json += HEX[byte >> 4];
        *json += HEX[byte & 15];
    }
    *json += '"';
}

/* A path as a JSON string: the file system gives it in UTF-8, which JSON carries as it is. */
void append_text(std::string *json, const char *text)
{
    *json += '"';
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            *json += '\\';
            *json += *c;
        } else if (static_cast<uint8_t>(*c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", static_cast<unsigned>(*c));
            *json += escape;
        } else {
            *json += *c;
        }
    }
    *json += '"';
}

void append_field(std::string *json, const char *name, uint64_t value)
{
    *json += ",\"";
    *json += name;
    *json += "\":";
    append_number(json, value);
}

void append_volumes(std::string *json, const arc_installer &installer)
{
    *json += ",\"volumes\":[";
    for (uint32_t i = 0; i < installer.volume_count; ++i) {
        const arc_volume &volume = installer.volumes[i];
        *json += i == 0 ? "{\"path\":" : ",{\"path\":";
        append_text(json, volume.path);
        append_field(json, "number", volume.number);
        append_field(json, "status", volume.status);
        *json += ",\"status_text\":";
        append_text(json, arc_status_text(volume.status));
        *json += '}';
    }
    *json += ']';
}

void append_folders(std::string *json, const arc_installer &installer)
{
    *json += ",\"folders\":[";
    for (uint32_t i = 0; i < installer.folder_count; ++i) {
        const arc_folder &folder = installer.folders[i];
        *json += i == 0 ? "{\"name\":" : ",{\"name\":";
        append_hex(json, folder.name, folder.name_length);
        append_field(json, "members", folder.member_count);
        *json += '}';
    }
    *json += ']';
}

void append_member(std::string *json, const arc_installer &installer, const arc_member &member)
{
    *json += "{\"name\":";
    append_hex(json, member.name, std::strlen(member.name));
    append_field(json, "folder", member.folder);
    append_field(json, "size", member.unpacked_size);
    append_field(json, "packed", member.packed_size);
    append_field(json, "date", member.dos_date);
    append_field(json, "time", member.dos_time);
    append_field(json, "attributes", member.attributes);
    append_field(json, "version_high", member.version_high);
    append_field(json, "version_low", member.version_low);
    append_field(json, "start_volume", member.start_volume);
    append_field(json, "end_volume", member.end_volume);
    const arc_volume *missing = arc_member_missing_volume(&installer, &member);
    append_field(json, "missing_volume", missing != nullptr ? missing->number : 0);
    *json += '}';
}

std::string listing_of(const web_installer &web)
{
    const arc_installer &installer = web.installer;
    std::string json = "{\"version\":";
    append_text(&json, VARLIX_VERSION);
    append_field(&json, "status", web.status);
    json += ",\"disk_set\":";
    json += installer.disk_set ? "true" : "false";
    append_volumes(&json, installer);
    append_folders(&json, installer);
    json += ",\"members\":[";
    for (uint32_t i = 0; i < installer.archive.member_count; ++i) {
        if (i != 0)
            json += ',';
        append_member(&json, installer, installer.archive.members[i]);
    }
    json += "]}";
    return json;
}

EM_JS(void, web_hand_on, (const uint8_t *bytes, uint32_t length),
      { Module.onOutput(bytes, length); });

void flush_piece(web_output *output)
{
    if (output->used != 0)
        web_hand_on(output->piece, output->used);
    output->used = 0;
}

bool web_output_take(void *context, const uint8_t *bytes, uint32_t length)
{
    web_output *output = static_cast<web_output *>(context);
    if (output->kept >= output->limit)
        return true;
    if (output->limit - output->kept < length)
        length = static_cast<uint32_t>(output->limit - output->kept);
    output->kept += length;
    while (length != 0) {
        const uint32_t room = OUTPUT_PIECE_SIZE - output->used;
        const uint32_t taken = length < room ? length : room;
        std::memcpy(output->piece + output->used, bytes, taken);
        output->used += taken;
        bytes += taken;
        length -= taken;
        if (output->used == OUTPUT_PIECE_SIZE)
            flush_piece(output);
    }
    return true;
}

} // namespace

extern "C" {

/*
 * web_open() - open the installer at @path: a plain archive or any volume of
 * a disk set, whose siblings are looked for in the same folder. Returns a
 * handle for web_listing(), web_read(), web_decode() and web_close(),
 * whatever the outcome (the listing gives it), or null when memory ran out.
 * Members are taken out with web_read() then web_decode().
 */
EMSCRIPTEN_KEEPALIVE web_installer *web_open(const char *path)
{
    web_installer *web = new (std::nothrow) web_installer();
    if (web == nullptr)
        return nullptr;
    web->status = arc_open_installer(path, &web->installer);
    web->listing = listing_of(*web);
    return web;
}

/*
 * web_listing() - the installer as a JSON object: "status" of the open (an
 * arc_status), "disk_set", "volumes" (path, number, status and its text), "folders" (raw
 * name in hex, member count) and "members" (raw name in hex, folder index,
 * size, packed size, DOS date and time, attributes, file version, start and
 * end volumes, and the number of the first missing volume the member needs,
 * or 0). Valid until web_close().
 */
EMSCRIPTEN_KEEPALIVE const char *web_listing(const web_installer *web)
{
    return web->listing.c_str();
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
    if (web->status != ARC_OK || index >= web->installer.archive.member_count)
        return ARC_ERR_NO_MEMBER;
    const arc_member *member = &web->installer.archive.members[index];
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
    web_output output = {static_cast<uint8_t *>(std::malloc(OUTPUT_PIECE_SIZE)), 0, 0,
                         web->member->unpacked_size};
    arc_status status = ARC_ERR_NO_MEMORY;
    if (output.piece != nullptr) {
        status = arc_decode_member(web->packed, web->member, web_output_take, &output);
        flush_piece(&output);
    }
    std::free(output.piece);
    drop_packed(web);
    return status;
}

/*
 * web_warm_up() - decode a made-up stream of literals, in each literal mode,
 * through the same calls as a member, handing nothing on. A browser runs code first in a quick
 * first compile and optimises it only once it has run a while, and a call
 * already under way keeps the code it started with: without this, the first
 * member the user takes out decodes wholly in unoptimised code.
 */
EMSCRIPTEN_KEEPALIVE void web_warm_up(void)
{
    const uint32_t size = 256u << 10;
    uint8_t *stream = static_cast<uint8_t *>(std::calloc(size, 1));
    if (stream == nullptr)
        return;
    arc_member member = {};
    member.packed_size = size;
    web_output output = {nullptr, 0, 0, 0}; /* a limit of 0: nothing is kept or handed on */
    for (uint8_t literal_mode = 0; literal_mode <= 1; ++literal_mode) {
        stream[0] = literal_mode;
        stream[1] = 6;
        arc_decode_member(stream, &member, web_output_take, &output);
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
