/*
 * file_ops.h - the few file operations the standard streams do not offer
 * portably: 64-bit seek and tell, and the identity and kind of an open file.
 * Everything platform-specific in the archive reader lives behind these.
 */
#ifndef VARLIX_ARCHIVE_FILE_OPS_H
#define VARLIX_ARCHIVE_FILE_OPS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

/* Seek to @position from the start of the file. Returns 0 on success. */
int arc_seek_from_start(std::FILE *file, uint64_t position);

/* Seek to the end of the file. Returns 0 on success. */
int arc_seek_to_end(std::FILE *file);

/* The current position, or -1 if it cannot be told. */
int64_t arc_tell(std::FILE *file);

/*
 * Whether @path names an existing file that is the very file open as @file
 * (same device and inode; on Windows, same volume serial number and file
 * index), so hard and symbolic links are caught too. False where the
 * platform cannot tell, or when @file is null.
 */
bool arc_path_is_open_file(const char *path, std::FILE *file);

/*
 * Whether @file is a regular file (on Windows, a disk file), which a failed
 * extraction may remove; a device, pipe or socket must be left where it is.
 * True where the platform cannot tell.
 */
bool arc_is_regular_file(std::FILE *file);

/*
 * Where the file's own name starts in @path: just after the last folder
 * separator ('/'; on Windows also '\\' and a drive's ':'), or 0.
 */
size_t arc_file_name_start(const char *path);

/*
 * Calls @visit with @context and the name of each entry of the folder
 * @folder ("" for the current one), in no particular order. Returns 0, or -1
 * when the folder cannot be listed.
 */
int arc_list_folder(const char *folder, void (*visit)(void *context, const char *name),
                    void *context);

#endif
