#include "unpack/listing.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "unpack/progress.h"

namespace {

std::string attribute_letters(uint32_t attributes, bool dashes)
{
    static const struct {
        uint32_t bit;
        char letter;
    } LETTERS[] = {{ARC_ATTRIBUTE_READ_ONLY, 'R'},
                   {ARC_ATTRIBUTE_HIDDEN, 'H'},
                   {ARC_ATTRIBUTE_SYSTEM, 'S'},
                   {ARC_ATTRIBUTE_ARCHIVE, 'A'}};
    std::string out;
    for (const auto &entry : LETTERS) {
        if (attributes & entry.bit)
            out += entry.letter;
        else if (dashes)
            out += '-';
    }
    return out;
}

std::string volume_text(const arc_member &member)
{
    if (member.start_volume == 0)
        return "-";
    std::string text = std::to_string(member.start_volume);
    if (member.end_volume != member.start_volume)
        text += "-" + std::to_string(member.end_volume);
    return text;
}

std::string raw_date_time(uint16_t date, uint16_t time)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", 1980u + (date >> 9),
                  (date >> 5) & 15u, date & 31u, time >> 11u, (time >> 5) & 63u, (time & 31u) * 2);
    return text;
}

std::string hex(const char *bytes, size_t length)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        out += DIGITS[byte >> 4];
        out += DIGITS[byte & 15];
    }
    return out;
}

/* The length of the valid UTF-8 sequence at @text[@at], or 0. */
size_t utf8_length(const std::string &text, size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return 1;
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size())
        return 0;
    uint32_t value = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = value << 6 | (next & 0x3Fu);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

/* A DOS date and time as "YYYY-MM-DDTHH:MM:SS", when valid; else "". */
std::string iso_time(uint16_t date, uint16_t time)
{
    if (!unpack_dos_time_valid(date, time))
        return "";
    std::string text = raw_date_time(date, time);
    text[10] = 'T';
    return text;
}

std::string version_json(const arc_member &member)
{
    if (member.version_high == 0 && member.version_low == 0)
        return "null";
    return "\"" + std::to_string(member.version_high >> 16) + "." +
           std::to_string(member.version_high & 0xFFFF) + "." +
           std::to_string(member.version_low >> 16) + "." +
           std::to_string(member.version_low & 0xFFFF) + "\"";
}

std::string volumes_json(const arc_member &member)
{
    std::string out = "[";
    for (unsigned v = member.start_volume; v <= member.end_volume; ++v)
        out += (v == member.start_volume ? "" : ", ") + std::to_string(v);
    return out + "]";
}

/* A container's names are plain ASCII in every real one; anything else is shown escaped. */
std::string converted_for_display(const char *name)
{
    std::string text;
    for (const char *c = name; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (byte < 0x80) {
            text += *c;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
        text += escaped;
    }
    return unpack_display(text);
}

std::string converted(unpack_converter *converter, const char *bytes, size_t length)
{
    std::string text;
    unpack_convert(converter, bytes, length, false, &text);
    return text;
}

std::string folder_json(const arc_folder &folder, uint32_t index, unpack_converter *converter)
{
    return "{\"index\": " + std::to_string(index) + ", \"name\": " +
           unpack_json_string(converted(converter, folder.name, folder.name_length)) +
           ", \"name_hex\": \"" + hex(folder.name, folder.name_length) +
           "\", \"members\": " + std::to_string(folder.member_count) + "}";
}

std::string volume_json(const arc_volume &volume)
{
    const std::string path = volume.path;
    return "{\"number\": " + std::to_string(volume.number) +
           ", \"path\": " + unpack_json_string(path) +
           ", \"file\": " + unpack_json_string(path.substr(arc_file_name_start(path.c_str()))) +
           ", \"present\": " + (volume.status == ARC_OK ? "true" : "false") +
           ", \"status\": " + unpack_json_string(arc_status_text(volume.status)) +
           ", \"size\": " + std::to_string(volume.file_size) + "}";
}

std::string member_json(const arc_installer *installer, uint32_t index, unpack_converter *converter)
{
    const arc_member &member = installer->archive.members[index];
    const arc_folder &folder = installer->folders[member.folder];
    const std::string name =
        converted(converter, member.name, std::char_traits<char>::length(member.name));
    std::string path = converted(converter, folder.name, folder.name_length);
    path += path.empty() ? name : "\\" + name;
    for (char &c : path) {
        if (c == '\\')
            c = '/';
    }
    const std::string time = iso_time(member.dos_date, member.dos_time);
    /* An engine container's members have a second name, and no date, attributes or volume. */
    const char *stored_as = arc_member_stored_as(installer, &member);
    const bool in_archive = stored_as == nullptr;
    std::string json = "{\"index\": " + std::to_string(index) +
                       ", \"folder\": " + std::to_string(member.folder) +
                       ", \"name\": " + unpack_json_string(name) + ", \"name_hex\": \"" +
                       hex(member.name, std::char_traits<char>::length(member.name)) + "\"";
    if (!in_archive)
        json += ", \"stored_as\": " +
                unpack_json_string(converted(converter, stored_as, std::strlen(stored_as)));
    return json + ", \"path\": " + unpack_json_string(path) +
           ", \"size\": " + std::to_string(member.unpacked_size) +
           ", \"packed_size\": " + std::to_string(member.packed_size) +
           ", \"time\": " + (time.empty() || !in_archive ? "null" : "\"" + time + "\"") +
           ", \"attributes\": " +
           (in_archive ? "\"" + attribute_letters(member.attributes, false) + "\"" : "null") +
           ", \"attribute_bits\": " + (in_archive ? std::to_string(member.attributes) : "null") +
           ", \"version\": " + version_json(member) +
           ", \"volumes\": " + (in_archive ? volumes_json(member) : "null") +
           ", \"offset\": " + std::to_string(member.offset) + "}";
}

/* "key": [ items, one per line ] */
std::string json_array(const char *key, const std::vector<std::string> &items, bool last)
{
    std::string out = std::string("  \"") + key + "\": [";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "\n    " : ",\n    ") + items[i];
    out += items.empty() ? "]" : "\n  ]";
    return out + (last ? "\n" : ",\n");
}

} // namespace

std::string unpack_json_string(const std::string &text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        const size_t length = utf8_length(text, at);
        if (length == 0) {
            out += "\\ufffd";
            ++at;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out + "\"";
}

void unpack_print_table(const arc_installer *installer, const unpack_catalog &catalog)
{
    const char *const FORMAT = "%-19s  %-4s  %10s  %10s  %-6s  %s\n";
    std::printf(FORMAT, "Date       Time", "Attr", "Size", "Packed", "Volume", "Path");
    uint64_t bytes = 0, packed = 0;
    std::set<uint16_t> folders;
    for (const uint32_t i : catalog.selected) {
        const arc_member &member = installer->archive.members[i];
        const char *stored_as = arc_member_stored_as(installer, &member);
        const bool in_archive = stored_as == nullptr;
        std::string path = unpack_member_path(catalog, installer, i);
        if (!in_archive)
            path += " (stored as " + converted_for_display(stored_as) + ")";
        std::printf(
            FORMAT, in_archive ? raw_date_time(member.dos_date, member.dos_time).c_str() : "-",
            in_archive ? attribute_letters(member.attributes, true).c_str() : "-",
            std::to_string(member.unpacked_size).c_str(),
            std::to_string(member.packed_size).c_str(), volume_text(member).c_str(), path.c_str());
        bytes += member.unpacked_size;
        packed += member.packed_size;
        folders.insert(member.folder);
    }
    std::printf("%s, %llu bytes, %llu packed, %s, %s\n",
                unpack_count(catalog.selected.size(), "member").c_str(),
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(packed),
                unpack_count(folders.size(), "folder").c_str(),
                unpack_count(installer->volume_count, "volume").c_str());
}

std::string unpack_json_document(const arc_installer *installer, const unpack_catalog &catalog,
                                 const std::string &archive_path, unpack_converter *converter,
                                 const std::string &code_page)
{
    std::vector<std::string> volumes, folders, members;
    for (uint32_t v = 0; v < installer->volume_count; ++v)
        volumes.push_back(volume_json(installer->volumes[v]));
    for (uint32_t f = 0; f < installer->folder_count; ++f)
        folders.push_back(folder_json(installer->folders[f], f, converter));
    for (const uint32_t i : catalog.selected)
        members.push_back(member_json(installer, i, converter));
    return "{\n  \"archive\": " + unpack_json_string(archive_path) +
           ",\n  \"code_page\": " + unpack_json_string(code_page) +
           ",\n  \"disk_set\": " + (installer->disk_set ? "true" : "false") + ",\n" +
           json_array("volumes", volumes, false) + json_array("folders", folders, false) +
           json_array("members", members, true) + "}\n";
}
