/*
 * file_ops.cc - what the file operations share on every platform; the rest
 * is in file_ops_posix.cc or file_ops_win32.cc, whichever the build chose.
 */
#include "archive/file_ops.h"

#include "archive/archive.h"

bool arc_same_file(const arc_file_identity *a, const arc_file_identity *b)
{
    return a->known && b->known && a->device == b->device && a->inode == b->inode;
}

size_t arc_file_name_start(const char *path)
{
    size_t start = 0;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (arc_is_path_separator(path[i]))
            start = i + 1;
    }
    return start;
}
