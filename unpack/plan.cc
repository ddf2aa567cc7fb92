#include "unpack/plan.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <utility>

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

const unpack_folder_name NO_FOLDER = {};

/* Why a member cannot be written where its folder and name put it, or empty. */
std::string path_problem(const unpack_folder_name &folder, const unpack_member_name &name)
{
    if (!folder.problem.empty())
        return folder.problem;
    if (!name.problem.empty())
        return name.problem;
    size_t bytes = name.name.size();
    for (const std::string &part : folder.parts)
        bytes += part.size() + 1;
    if (bytes > UNPACK_MAX_PATH_BYTES || folder.parts.size() + 1 > UNPACK_MAX_PATH_PARTS)
        return "too long";
    return "";
}

/*
 * The folders the selected members need, one node per folder part, each
 * keyed by its parent and its part folded: equal keys are one path on any
 * file system. Built in one pass over the parts, however deep the folders.
 */
struct path_tree {
    typedef std::pair<uint32_t, std::string> key;
    std::map<key, uint32_t> children;
    std::vector<uint32_t> first_member = {
        0}; /* per node: the first member needing it; 0 the root */
};

const uint32_t NO_NODE = UINT32_MAX;

/* The node of @parts, made as needed; new nodes are needed first by @member. */
uint32_t add_folder(path_tree *tree, const std::vector<std::string> &parts, uint32_t member)
{
    uint32_t node = 0;
    for (const std::string &part : parts) {
        const auto child = tree->children.emplace(path_tree::key(node, unpack_fold_case(part)),
                                                  static_cast<uint32_t>(tree->first_member.size()));
        if (child.second)
            tree->first_member.push_back(member);
        node = child.first->second;
    }
    return node;
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
        catalog->unsafe.push_back(path_problem(flat ? NO_FOLDER : folder, name));
        if (selects(patterns, unpack_member_path(*catalog, installer, i), name.display,
                    &catalog->pattern_matched))
            catalog->selected.push_back(i);
    }
}

std::string unpack_member_path(const unpack_catalog &catalog, const arc_installer *installer,
                               uint32_t member)
{
    const std::string &folder = catalog.folders[installer->archive.members[member].folder].display;
    const std::string &name = catalog.names[member].display;
    return folder.empty() ? name : folder + "/" + name;
}

std::vector<std::string> unpack_find_conflicts(const arc_installer *installer,
                                               const unpack_catalog &catalog, bool flat)
{
    std::vector<std::string> conflicts(catalog.names.size());
    path_tree tree;
    std::vector<uint32_t> folder_nodes(catalog.folders.size(), NO_NODE);
    for (const uint32_t i : catalog.selected) {
        const uint32_t folder = installer->archive.members[i].folder;
        if (!flat && catalog.unsafe[i].empty() && folder_nodes[folder] == NO_NODE)
            folder_nodes[folder] = add_folder(&tree, catalog.folders[folder].parts, i);
    }
    std::map<path_tree::key, uint32_t> files;
    for (const uint32_t i : catalog.selected) {
        if (!catalog.unsafe[i].empty())
            continue;
        const uint32_t parent = flat ? 0 : folder_nodes[installer->archive.members[i].folder];
        const path_tree::key key(parent, unpack_fold_case(catalog.names[i].name));
        const auto folder = tree.children.find(key);
        if (folder != tree.children.end()) {
            conflicts[i] =
                "same path as the folder of " +
                unpack_member_path(catalog, installer, tree.first_member[folder->second]);
            continue;
        }
        const auto file = files.emplace(key, i);
        if (!file.second)
            conflicts[i] =
                "same path as " + unpack_member_path(catalog, installer, file.first->second);
    }
    return conflicts;
}

std::string unpack_default_directory(const std::string &archive_path)
{
    const std::string name = archive_path.substr(arc_file_name_start(archive_path.c_str()));
    const size_t dot = name.rfind('.');
    const std::string folder =
        dot == std::string::npos || dot == 0 ? name + ".d" : name.substr(0, dot);
    return unpack_is_plain_name(folder) ? folder : "unpacked";
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
