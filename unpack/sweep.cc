/*
 * sweep.cc - finding the installers in a folder tree.
 *
 * Every regular file is read for its first four bytes, so that an archive
 * is found whatever it is called. A disk set's volumes are told apart from
 * plain archives, and grouped, by the library's own test of what belongs to
 * a set; the set is then opened from its lowest volume with the others named,
 * so that it is whole whatever the layout its copy keeps.
 */
#include "unpack/sweep.h"

#include <algorithm>
#include <cstring>

#include "archive/archive.h"
#include "unpack/names.h"

namespace {

const uint8_t ARCHIVE_SIGNATURE[4] = {0x13, 0x5D, 0x65, 0x8C};
const uint8_t CONTAINER_SIGNATURE[4] = {0x2A, 0xAB, 0x79, 0xD8};

/* A file that starts as an installer does. */
struct candidate {
    std::string relative, path;
    uint32_t volume; /* its number in a set, or 0 */
    bool grouped;
};

bool ends_in_separator(const std::string &path)
{
    return !path.empty() && arc_file_name_start(path.c_str()) == path.size();
}

std::string joined(const std::string &folder, const std::string &name)
{
    if (folder.empty())
        return name;
    return ends_in_separator(folder) ? folder + name : folder + "/" + name;
}

bool starts_as_installer(const uint8_t *bytes, size_t got)
{
    return got == 4 && (std::memcmp(bytes, ARCHIVE_SIGNATURE, 4) == 0 ||
                        std::memcmp(bytes, CONTAINER_SIGNATURE, 4) == 0);
}

/* The number a file gives itself as a volume of a set, or 0. */
uint32_t volume_number(const std::string &path)
{
    bool convertible = false;
    const std::string library_path = unpack_os_library_path(path, &convertible);
    uint32_t number = 0;
    if (convertible)
        arc_identify_volume(library_path.c_str(), library_path.c_str(), &number);
    return number;
}

bool same_set(const candidate &a, const candidate &b)
{
    bool a_ok = false, b_ok = false;
    const std::string a_path = unpack_os_library_path(a.path, &a_ok);
    const std::string b_path = unpack_os_library_path(b.path, &b_ok);
    uint32_t number = 0;
    return a_ok && b_ok && arc_identify_volume(a_path.c_str(), b_path.c_str(), &number) == ARC_OK;
}

/* Looks at one file of the tree. */
void look_at_file(const std::string &relative, const std::string &path, unpack_sweep *sweep,
                  std::vector<candidate> *candidates)
{
    ++sweep->files_scanned;
    uint8_t first[4];
    size_t got = 0;
    if (const int error = unpack_os_read_start(path, first, sizeof(first), &got)) {
        sweep->found.push_back({relative, path, {}, error});
        return;
    }
    if (starts_as_installer(first, got))
        candidates->push_back({relative, path, volume_number(path), false});
}

bool is_skipped(const std::string &path, const unpack_os_identity *skip)
{
    unpack_os_identity identity;
    return skip != nullptr && unpack_os_identify(path, &identity) == 0 &&
           identity.device == skip->device && identity.inode == skip->inode;
}

void scan(const std::string &root, const unpack_os_identity *skip, unpack_sweep *sweep,
          std::vector<candidate> *candidates)
{
    std::vector<std::string> folders = {""};
    std::vector<unpack_os_entry> entries;
    while (!folders.empty()) {
        const std::string relative = folders.back();
        folders.pop_back();
        const std::string path = relative.empty() ? root : joined(root, relative);
        if (const int error = unpack_os_list_folder(path, &entries)) {
            sweep->found.push_back({relative.empty() ? "." : relative, path, {}, error});
            continue;
        }
        for (const unpack_os_entry &entry : entries) {
            const std::string child = joined(relative, entry.name);
            const std::string child_path = joined(path, entry.name);
            if (entry.kind == UNPACK_ENTRY_FOLDER && !is_skipped(child_path, skip))
                folders.push_back(child);
            else if (entry.kind == UNPACK_ENTRY_FILE)
                look_at_file(child, child_path, sweep, candidates);
        }
    }
}

/* A set, named by its lowest volume found, with the others of it found in the tree. */
unpack_found group_set(std::vector<candidate> *candidates, size_t first)
{
    std::vector<candidate *> members = {&(*candidates)[first]};
    for (candidate &other : *candidates) {
        if (&other != members[0] && other.volume != 0 && !other.grouped &&
            same_set(*members[0], other))
            members.push_back(&other);
    }
    candidate *lowest = *std::min_element(
        members.begin(), members.end(), [](const candidate *a, const candidate *b) {
            return a->volume != b->volume ? a->volume < b->volume : a->relative < b->relative;
        });
    unpack_found set = {lowest->relative, lowest->path, {}, 0};
    for (candidate *member : members) {
        member->grouped = true;
        if (member != lowest)
            set.volumes.push_back(member->path);
    }
    return set;
}

} // namespace

void unpack_sweep_folder(const std::string &root, const unpack_os_identity *skip,
                         unpack_sweep *sweep)
{
    *sweep = unpack_sweep();
    std::vector<candidate> candidates;
    scan(root, skip, sweep, &candidates);
    std::sort(candidates.begin(), candidates.end(),
              [](const candidate &a, const candidate &b) { return a.relative < b.relative; });
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i].grouped)
            continue;
        if (candidates[i].volume == 0)
            sweep->found.push_back({candidates[i].relative, candidates[i].path, {}, 0});
        else
            sweep->found.push_back(group_set(&candidates, i));
    }
    std::sort(sweep->found.begin(), sweep->found.end(),
              [](const unpack_found &a, const unpack_found &b) { return a.relative < b.relative; });
}

std::string unpack_sweep_output(const std::string &root)
{
    std::string name = root;
    while (name.size() > 1 && ends_in_separator(name))
        name.pop_back();
    name = name.substr(arc_file_name_start(name.c_str()));
    return unpack_is_plain_name(name) ? name + "-unpacked" : "unpacked";
}
