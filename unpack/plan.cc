#include "unpack/plan.h"

#include <ctime>
#include <map>

#include "unpack/unpack_os.h"

namespace {

bool selects(const std::vector<std::string> &patterns, const std::string &path,
             const std::string &name, std::vector<bool> *matched)
{
    bool selected = patterns.empty();
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (unpack_pattern_matches(patterns[i], path) ||
            unpack_pattern_matches(patterns[i], name)) {
            (*matched)[i] = true;
            selected = true;
        }
    }
    return selected;
}

/* A path's parts joined by '/', folded: equal keys are one file on any file system. */
std::string fold_parts(const std::vector<std::string> &parts, size_t count)
{
    std::string key;
    for (size_t i = 0; i < count; ++i)
        key += (i == 0 ? "" : "/") + unpack_fold_case(parts[i]);
    return key;
}

} // namespace

void unpack_build_catalog(const arc_installer *installer, unpack_converter *converter,
                          const std::string &code_page, bool flat,
                          const std::vector<std::string> &patterns, unpack_catalog *catalog)
{
    *catalog = unpack_catalog();
    for (uint32_t f = 0; f < installer->folder_count; ++f) {
        const arc_folder &folder = installer->folders[f];
        catalog->folders.push_back(
            unpack_name_folder(converter, code_page, folder.name, folder.name_length));
    }
    catalog->pattern_matched.assign(patterns.size(), false);
    for (uint32_t i = 0; i < installer->archive.member_count; ++i) {
        const arc_member &member = installer->archive.members[i];
        const unpack_folder_name &folder = catalog->folders[member.folder];
        const bool at_root = flat || folder.display.empty();
        catalog->names.push_back(unpack_name_member(converter, code_page, member.name, at_root));
        const unpack_member_name &name = catalog->names.back();
        catalog->paths.push_back(folder.display.empty() ? name.display
                                                        : folder.display + "/" + name.display);
        catalog->unsafe.push_back(!flat && !folder.problem.empty() ? folder.problem : name.problem);
        if (selects(patterns, catalog->paths.back(), name.display, &catalog->pattern_matched))
            catalog->selected.push_back(i);
    }
}

std::vector<std::string> unpack_find_conflicts(const arc_installer *installer,
                                               const unpack_catalog &catalog, bool flat)
{
    std::vector<std::string> conflicts(catalog.names.size());
    std::map<std::string, uint32_t> folders_needed, files;
    for (const uint32_t i : catalog.selected) {
        if (flat || !catalog.unsafe[i].empty())
            continue;
        const std::vector<std::string> &parts =
            catalog.folders[installer->archive.members[i].folder].parts;
        for (size_t count = 1; count <= parts.size(); ++count)
            folders_needed.emplace(fold_parts(parts, count), i);
    }
    for (const uint32_t i : catalog.selected) {
        if (!catalog.unsafe[i].empty())
            continue;
        std::vector<std::string> parts;
        if (!flat)
            parts = catalog.folders[installer->archive.members[i].folder].parts;
        parts.push_back(catalog.names[i].name);
        const std::string key = fold_parts(parts, parts.size());
        const auto folder = folders_needed.find(key);
        if (folder != folders_needed.end()) {
            conflicts[i] = "same path as the folder of " + catalog.paths[folder->second];
            continue;
        }
        const auto file = files.emplace(key, i);
        if (!file.second)
            conflicts[i] = "same path as " + catalog.paths[file.first->second];
    }
    return conflicts;
}

std::string unpack_default_directory(const std::string &archive_path)
{
    const std::string name = archive_path.substr(arc_file_name_start(archive_path.c_str()));
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return name + ".d";
    return name.substr(0, dot);
}

bool unpack_dos_time_valid(uint16_t date, uint16_t time)
{
    static const int DAYS_IN_MONTH[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int year = 1980 + (date >> 9), month = (date >> 5) & 15, day = date & 31;
    const int hour = time >> 11, minute = (time >> 5) & 63, second = (time & 31) * 2;
    if (month < 1 || month > 12 || day < 1 || day > DAYS_IN_MONTH[month - 1])
        return false;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (month == 2 && day == 29 && !leap)
        return false;
    return hour < 24 && minute < 60 && second < 60;
}

bool unpack_dos_time(uint16_t date, uint16_t time, int64_t *seconds)
{
    if (!unpack_dos_time_valid(date, time))
        return false;
    std::tm local = {};
    local.tm_year = 80 + (date >> 9);
    local.tm_mon = ((date >> 5) & 15) - 1;
    local.tm_mday = date & 31;
    local.tm_hour = time >> 11;
    local.tm_min = (time >> 5) & 63;
    local.tm_sec = (time & 31) * 2;
    return unpack_os_local_time_to_utc(local, seconds) == 0;
}
