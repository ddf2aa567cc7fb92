#include "unpack/writer.h"

namespace {

void close_if_unused(unpack_writer *writer, uint32_t folder)
{
    unpack_folder_slot &slot = writer->folders[folder];
    if (slot.users != 0 || slot.dir == nullptr)
        return;
    unpack_os_close_folder(slot.dir);
    slot.dir = nullptr;
}

/*
 * Walks down from the output folder, making what is missing; never through a
 * link. *@made tells whether the last part was made.
 */
int open_path(unpack_writer *writer, const std::vector<std::string> &parts, unpack_dir **dir,
              bool *made)
{
    unpack_dir *parent = writer->root;
    for (const std::string &part : parts) {
        unpack_dir *child = nullptr;
        const int error = unpack_os_open_folder(parent, part, &child, made);
        writer->folders_made += *made ? 1 : 0;
        if (parent != writer->root)
            unpack_os_close_folder(parent);
        if (error != 0)
            return error;
        parent = child;
    }
    *dir = parent;
    return 0;
}

} // namespace

int unpack_writer_open(unpack_writer *writer, const std::string &path, uint32_t folder_count)
{
    writer->root = nullptr;
    writer->folders.assign(folder_count, unpack_folder_slot{nullptr, false, 0, 0});
    writer->current = 0;
    writer->folders_made = 0;
    const int error = unpack_os_open_root(path, &writer->root, &writer->folders_made);
    writer->root_is_new = writer->folders_made != 0;
    return error;
}

int unpack_writer_take_folder(unpack_writer *writer, uint32_t folder,
                              const std::vector<std::string> &parts, unpack_dir **dir, bool *is_new)
{
    *dir = nullptr;
    *is_new = false;
    if (parts.empty()) {
        *dir = writer->root;
        *is_new = writer->root_is_new;
        return 0;
    }
    if (folder != writer->current && writer->current < writer->folders.size())
        close_if_unused(writer, writer->current);
    writer->current = folder;
    unpack_folder_slot &slot = writer->folders[folder];
    if (slot.error != 0)
        return slot.error;
    if (slot.dir == nullptr) {
        bool made = false;
        slot.error = open_path(writer, parts, &slot.dir, &made);
        if (slot.error != 0)
            return slot.error;
        slot.is_new = slot.is_new || made;
    }
    ++slot.users;
    *dir = slot.dir;
    *is_new = slot.is_new;
    return 0;
}

void unpack_writer_release_folder(unpack_writer *writer, uint32_t folder,
                                  const std::vector<std::string> &parts)
{
    if (parts.empty())
        return;
    --writer->folders[folder].users;
    if (folder != writer->current)
        close_if_unused(writer, folder);
}

void unpack_writer_forget_failure(unpack_writer *writer, uint32_t folder)
{
    if (folder < writer->folders.size())
        writer->folders[folder].error = 0;
}

void unpack_writer_close(unpack_writer *writer)
{
    for (unpack_folder_slot &slot : writer->folders) {
        unpack_os_close_folder(slot.dir);
        slot.dir = nullptr;
    }
    unpack_os_close_folder(writer->root);
    writer->root = nullptr;
}
