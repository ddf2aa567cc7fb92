/*
 * file_ops.h - the few file operations the standard streams do not offer
 * portably: 64-bit seek and tell, the identity and kind of an open file, and
 * memory that large reads fill cheaply. Everything platform-specific in the
 * archive reader lives behind these.
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
 * arc_buffer_acquire() - @size bytes of writable memory, @size at least 1,
 * for data about to be read into it. Returns null when they cannot be had.
 * Fresh memory costs a page fault per page the first time it is written; on
 * Linux a buffer of 2 MiB or more is mapped so that it can take huge pages,
 * which take 512 times fewer faults. Elsewhere it is plain heap memory.
 */
uint8_t *arc_buffer_acquire(size_t size);

/* arc_buffer_release() - release a @buffer of @size bytes from arc_buffer_acquire(); null is
 * ignored. */
void arc_buffer_release(uint8_t *buffer, size_t size);

#endif
