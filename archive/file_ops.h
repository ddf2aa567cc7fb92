/*
 * file_ops.h - the few file operations the standard streams do not offer
 * portably: 64-bit seek and tell, the identity and kind of an open file,
 * opening an output without emptying it, writing past the stream's buffer,
 * removing a file through the links that lead to it, listing a folder, and
 * memory that large reads fill cheaply. file_ops.cc holds what every
 * platform shares; file_ops_posix.cc and file_ops_win32.cc, one of which the
 * build takes, hold the rest.
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

/* What names one file whatever path or link reaches it, and its kind. */
struct arc_file_identity {
    bool known;      /* false where the platform cannot tell; then it equals no other */
    bool regular;    /* a regular (on Windows, disk) file, not a device, pipe or socket */
    uint64_t device; /* device number; on Windows, volume serial number */
    uint64_t inode;  /* inode number; on Windows, file index */
};

/*
 * arc_identify() - fill @identity for the open @file (null gives an unknown
 * identity). An unknown file is not regular.
 */
void arc_identify(std::FILE *file, arc_file_identity *identity);

/* arc_same_file() - whether two identities are known and name the same file. */
bool arc_same_file(const arc_file_identity *a, const arc_file_identity *b);

/*
 * arc_open_regular_file() - open @path for binary reading when it is a
 * regular file, links followed; anything else (a folder, a FIFO, a device) is
 * refused without the open waiting on it. Returns the stream, or null with
 * errno set (ENOMEM only when memory ran out).
 */
std::FILE *arc_open_regular_file(const char *path);

/*
 * arc_open_output() - open @path for binary writing, creating it if it does
 * not exist but leaving an existing file's contents alone, so that what was
 * opened can be checked before anything is lost. Returns the stream, with
 * the platform's default buffering, or null.
 */
std::FILE *arc_open_output(const char *path);

/*
 * arc_empty_file() - cut the regular file open as @file to length 0; any
 * other kind of file is left as it is. Returns 0 on success.
 */
int arc_empty_file(std::FILE *file);

/*
 * arc_write_through() - write the @length bytes at @bytes to the file open as
 * @file at once, around the stream's buffer, which must hold nothing yet.
 * Returns 0 when every byte was written: one system call for them all
 * wherever the file takes them in one piece.
 */
int arc_write_through(std::FILE *file, const uint8_t *bytes, size_t length);

/*
 * arc_remove_file() - remove the file that @path leads to, following symbolic
 * links, provided it is still the file of @identity: a link itself is never
 * removed. Failures are ignored.
 */
void arc_remove_file(const char *path, const arc_file_identity *identity);

/* Whether @c ends a folder in a path: '/'; on Windows also '\\' and a drive's ':'. */
bool arc_is_path_separator(char c);

/*
 * arc_resolve_path() - the absolute path of the existing folder or file at
 * @path, links resolved, in memory the caller frees; null when it cannot be
 * told.
 */
char *arc_resolve_path(const char *path);

/*
 * Calls @visit with @context and the name of each entry of the folder
 * @folder ("" for the current one), in no particular order. Returns 0, or -1
 * when the folder cannot be listed.
 */
int arc_list_folder(const char *folder, void (*visit)(void *context, const char *name),
                    void *context);

/*
 * arc_buffer_acquire() - @size bytes of writable memory, @size at least 1,
 * for data about to be read into it. Returns null when they cannot be had.
 * Fresh memory costs a page fault per page the first time it is written; on
 * Linux a buffer of 1 MiB or more is mapped with all its pages taken at once.
 * Elsewhere it is plain heap memory.
 */
uint8_t *arc_buffer_acquire(size_t size);

/* arc_buffer_release() - release a @buffer of @size bytes from arc_buffer_acquire(); null is
 * ignored. */
void arc_buffer_release(uint8_t *buffer, size_t size);

#endif
