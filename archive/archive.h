/*
 * archive.h - reading InstallShield 3 .Z archives: header, member directory,
 * lookup by name and extraction of one member; and whole installers (folders,
 * member details, disk sets spanned over several volumes).
 *
 * Nothing here prints. Every operation that can fail returns an arc_status;
 * a lookup returns the member or null. The caller owns the arc_archive and
 * calls arc_close() after arc_open(), whatever arc_open() returned; likewise
 * arc_close_installer() after arc_open_installer().
 */
#ifndef VARLIX_ARCHIVE_ARCHIVE_H
#define VARLIX_ARCHIVE_ARCHIVE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "cli/status.h"
#include "explode/explode.h"
#include "varlix_api.h"

VARLIX_BEGIN_DECLS

/*
 * One directory entry. All archive integers are unsigned and little-endian.
 *
 * The details after the first four fields come from the same walk of the
 * directory; arc_open() reads them but never tests them, so they change
 * nothing it accepts or refuses.
 */
typedef struct arc_member {
    /*
     * 1 to 255 name bytes, then zeros: printable ASCII (0x20..0x7E) from
     * arc_open(); from arc_open_installer() any byte 0x20..0xFF but 0x7F, in
     * the installer's code page. The name carries no folder.
     */
    char name[256];
    uint32_t offset;        /* position of the compressed data, in its start volume's file */
    uint32_t packed_size;   /* compressed length in bytes, all volumes' pieces together */
    uint32_t unpacked_size; /* length after decompression, as recorded */

    /*
     * arc_open(): the folder index as recorded. arc_open_installer(): an
     * index into installer->folders, 0 (the root) when the folder table is
     * not usable.
     */
    uint16_t folder;
    uint16_t dos_date;   /* local date: bits 15-9 year - 1980, 8-5 month, 4-0 day */
    uint16_t dos_time;   /* local time: bits 15-11 hour, 10-5 minute, 4-0 seconds / 2 */
    uint16_t flags;      /* ARC_FLAG_CONTINUES, ARC_FLAG_STORED; other bits have no known meaning */
    uint32_t attributes; /* MS-DOS attributes, ARC_ATTRIBUTE_* */
    uint32_t version_high; /* file version, major << 16 | minor; 0 when none */
    uint32_t version_low;  /* file version, build << 16 | revision; 0 when none */
    uint8_t start_volume;  /* volume holding the start of the data, from 1; 0 outside a set */
    uint8_t end_volume;    /* volume holding the end of the data, from 1; 0 outside a set */
} arc_member;

/* An open archive. Cleared by arc_open(), released by arc_close(). */
typedef struct arc_archive {
    FILE *file;            /* open for binary reading, or null */
    int64_t file_size;     /* the archive's length in bytes */
    uint32_t member_count; /* counted entries; 0 until the whole directory is walked */
    arc_member *members;   /* one entry per header-counted member, or null */
} arc_archive;

/*
 * A directory record is found by its name-length byte p. The expanded size,
 * the compressed size and the data offset lie at p-26, p-22 and p-18 (32 bits
 * each), and the record length, n + 43 for an n-byte name, at p-6. The record
 * length is 16 bits: the two bytes after it are per-file flags, set in real
 * archives (the data going on into the next disk of a set, for one), and a
 * 32-bit read would take them for part of the length and reject the record.
 */
/* The first four bytes of an archive, taken least significant first. */
#define ARC_SIGNATURE 0x8C655D13u

enum {
    ARC_HEADER_SIZE = 255,
    ARC_MAX_MEMBERS = 4096,
    ARC_MAX_DIRECTORY_SIZE = 1048576,
    /* A record's fixed fields: the bytes in front of its name-length byte. */
    ARC_RECORD_FIXED_SIZE = 41,
    /* How many positions from the directory offset on may hold the first record. */
    ARC_FIRST_RECORD_WINDOW = 64,
    /* Volumes of a disk set are numbered 1 to 255; a member has at most one piece in each. */
    ARC_MAX_VOLUMES = 255,
    /* arc_member.flags: the member's data goes on into the next volume. */
    ARC_FLAG_CONTINUES = 0x0100,
    /* arc_member.flags: the member's data is the file itself, stored as it is, not imploded. */
    ARC_FLAG_STORED = 0x0010,
    ARC_ATTRIBUTE_READ_ONLY = 0x01,
    ARC_ATTRIBUTE_HIDDEN = 0x02,
    ARC_ATTRIBUTE_SYSTEM = 0x04,
    ARC_ATTRIBUTE_ARCHIVE = 0x20,
};

/*
 * arc_open() - clear @archive, open the file at @path, validate its header and
 * walk its member directory into @archive->members.
 *
 * Returns ARC_OK with member_count set, or the first failure:
 * ARC_ERR_OPEN, ARC_ERR_READ, ARC_ERR_NOT_ARCHIVE, ARC_ERR_DIRECTORY,
 * ARC_ERR_OUTSIDE or ARC_ERR_NO_MEMORY. After a failure member_count is 0 but
 * the handle may still hold the stream and a partly filled table, so
 * arc_close() must be called in every case.
 */
VARLIX_API arc_status arc_open(const char *path, arc_archive *archive);

/*
 * arc_close() - close the stream and release the member table, leaving the
 * handle cleared. Safe after any outcome of arc_open(), and a second time.
 */
VARLIX_API void arc_close(arc_archive *archive);

/*
 * arc_find_member() - the first counted member, in directory order, whose name
 * equals @name when ASCII letters A-Z are folded to a-z on both sides; null if
 * none matches or @name is empty. Valid until arc_close().
 */
VARLIX_API const arc_member *arc_find_member(const arc_archive *archive, const char *name);

/*
 * arc_ascii_lower() - @c with the letters A-Z taken as a-z, every other byte
 * as it is: names are compared this way, by arc_find_member() and when a
 * set's volumes are looked for.
 */
VARLIX_API char arc_ascii_lower(char c);

/*
 * arc_extract_member() - decode @member of @archive (opened with ARC_OK) into
 * the file at @output_path, created or emptied, and check its length against
 * the directory; a stored member is copied, as arc_decode_member() does.
 *
 * Returns ARC_OK, ARC_ERR_NO_MEMORY, ARC_ERR_READ, ARC_ERR_WRITE,
 * ARC_ERR_DAMAGED or ARC_ERR_SIZE. A decoded block that cannot be written
 * makes it ARC_ERR_WRITE, whatever the decoder finds after it.
 *
 * Failures before the output is opened leave the file system as it was. An
 * output that turns out to be the archive itself, links included, is
 * refused with ARC_ERR_WRITE before it is emptied, and left as it was. Later
 * failures remove the output when it is a regular file, and when
 * @output_path is a symbolic link they remove the file it leads to and keep
 * the link; a device or pipe is left in place. A regular file never receives
 * bytes past the recorded expanded size: they are counted, and the size
 * check fails, but they are not written.
 */
VARLIX_API arc_status arc_extract_member(arc_archive *archive, const arc_member *member,
                                         const char *output_path);

/*
 * arc_extract_member_sparing() - arc_extract_member(), refusing as it
 * refuses the archive itself an output that is one of the @spared_count
 * files open as @spared (a log, say; null entries are skipped).
 */
VARLIX_API arc_status arc_extract_member_sparing(arc_archive *archive, const arc_member *member,
                                                 const char *output_path, FILE *const *spared,
                                                 uint32_t spared_count);

/*
 * arc_path_is_open_file() - whether @path names an existing file that is the
 * very file open as @file, hard and symbolic links included. False where the
 * platform cannot tell, or when @file is null.
 */
VARLIX_API bool arc_path_is_open_file(const char *path, FILE *file);

/*
 * Whole installers.
 *
 * arc_open_installer() reads what arc_open() leaves aside: the folder table,
 * each member's details, and disk sets, whose members' data is spread over
 * the volumes <base>.1 ... <base>.<n>. It is more forgiving than arc_open():
 * names may hold code-page bytes, and a member whose data lies outside its
 * volume, or in a volume that is missing, fails on its own when it is read,
 * so that every other member can still be had.
 *
 * Reading a member is split in two so that a program may read members'
 * compressed bytes in one thread and decode them in others:
 * arc_read_member_data() uses the volumes' streams and must be called from
 * one thread at a time per installer; arc_decode_member() touches nothing
 * but its arguments.
 */

/* One folder: the installer's file group or install path. */
typedef struct arc_folder {
    /*
     * The raw name bytes in the installer's code page, followed by a 0 byte;
     * "" for the root. Parts may be separated by '\\'. The name is not
     * checked: it may hold any byte, 0 included, so name_length is its
     * length. Valid until arc_close_installer().
     */
    const char *name;
    uint32_t name_length;
    uint32_t member_count; /* members whose folder is this one */
} arc_folder;

/* One volume of a disk set, or the single file of a plain archive. */
typedef struct arc_volume {
    /*
     * The file found for this volume or, when none was found, the path it
     * would have: the given path's folder and base name with ".<number>".
     */
    char *path;
    FILE *file;        /* open for binary reading when status is ARC_OK, else null */
    int64_t file_size; /* the file's length; 0 when it could not be opened */
    uint32_t number;   /* 1 to volume_count in a disk set; 0 for a plain archive */
    /*
     * ARC_OK: present, and its header is that of this volume of this set.
     * ARC_ERR_OPEN: no such file, or it could not be opened.
     * ARC_ERR_NOT_ARCHIVE: a file is there, but it is shorter than a header,
     *   or its signature, set flag or volume number is wrong, or its member
     *   count, date, time or total size differ from the given volume's
     *   (a volume of another set).
     * ARC_ERR_READ or ARC_ERR_NO_MEMORY: as for arc_open().
     */
    arc_status status;
    /*
     * Where this volume's member data ends, as its header says (its folder
     * table offset, else its directory offset): a member that goes on into
     * the next volume takes this volume's bytes up to here. Valid when
     * status is ARC_OK.
     */
    uint32_t data_end;
} arc_volume;

/* A stretch of a member's compressed bytes inside one volume. */
typedef struct arc_piece {
    uint32_t volume; /* index into installer->volumes */
    uint32_t offset; /* position in that volume's file */
    uint32_t length; /* bytes */
} arc_piece;

/* An open installer. Cleared by arc_open_installer(), released by arc_close_installer(). */
typedef struct arc_installer {
    /*
     * The members, in directory order, with member_count; arc_find_member()
     * works on it. Its file stays null (the volumes own the streams) and its
     * file_size is that of the volume whose directory was read.
     */
    arc_archive archive;
    uint32_t folder_count; /* at least 1 after ARC_OK */
    arc_folder *folders;
    uint32_t volume_count;
    arc_volume *volumes; /* volumes[i] is volume i + 1 of a set; the one file of a plain archive */
    uint32_t directory_volume; /* index of the volume whose directory was read */
    bool disk_set;             /* the given file's header says it is a volume of a set */
    uint8_t *folder_table;     /* storage behind the folders' names, or a container's names */
} arc_installer;

/*
 * arc_open_installer() - clear @installer and open the archive at @path as a
 * whole installer: a plain archive, or any volume of a disk set.
 *
 * A file whose header carries the set flag is a volume, and the others of
 * its set are looked for: in the given file's folder, the files named
 * <base>.<number>, where <base> is the given file's name up to its last dot
 * (matched without regard to ASCII case) and <number> is 1 to 255 in decimal
 * without leading zeros; then, when that folder's name holds a number, the
 * same names in each folder beside it whose name is the same but for that
 * number, the last run of digits in it (ASCII case ignored, leading zeros
 * allowed: DISK1 and DISK2, disk01 and disk02, Disk 1 and Disk 2, CD1 and
 * CD2), in the order of their numbers. A given folder named "" or "." in the
 * path is taken by its name in the file system. For each number the file
 * beside the given one wins over one in a disk folder, an earlier disk
 * folder over a later one, and, in one folder, the given file's spelling
 * over another letter case. A given file whose name does not end in a number
 * is taken as the volume its header names. Only regular files are read: a
 * FIFO, a device or a folder in a volume's place is a volume that cannot be
 * opened, and is never waited on.
 *
 * The setup engine container found beside installers (_INST32I.EX_, first
 * bytes 2A AB 79 D8) opens too, as one file holding one root folder: at 78
 * the member count (1 to 4096), from 82 a table of that many entries (data
 * offset, compressed and expanded size, each 32 bits, 8 bytes not read, then
 * the member's name and a second name, each a 16-bit length and 1 to 255
 * bytes 0x20..0xFF but 0x7F), all inside the file; its members' data follow
 * the table. A table that does not parse is ARC_ERR_DIRECTORY. Its members
 * have no date, time, attributes, file version or volume (all 0), are
 * imploded, and are read and decoded as an archive's are; one whose data
 * lies before the table's end or past the file's is ARC_ERR_OUTSIDE when it
 * is read, alone. arc_member_stored_as() gives the second name.
 *
 * The directory is read from volume 1, or,
 * when volume 1 is unusable, from the highest-numbered volume present that
 * says it is the last: the directory of a middle volume may be an interim
 * copy with wrong offsets. A volume that is missing or belongs elsewhere does
 * not fail the open; it is recorded in installer->volumes with its status,
 * and only the members that need it fail.
 *
 * The folder table is used when it is consistent: inside the file, its
 * entries back to back and filling it, their member counts adding up to the
 * member count, every member's folder index in range, and each folder's count
 * equal to the members that name it. Then the first record is taken where the
 * directory starts. Otherwise every member is put in one root folder with an
 * empty name, and the first record is found as arc_open() finds it. Member
 * names may hold any byte 0x20..0xFF but 0x7F.
 *
 * Returns ARC_OK; or the failure of the given file as arc_open() would give it
 * (ARC_ERR_OPEN, ARC_ERR_READ, ARC_ERR_NOT_ARCHIVE, ARC_ERR_NO_MEMORY); or,
 * for the directory volume, ARC_ERR_DIRECTORY (its header's limits, or a
 * counted record that fails the record test), ARC_ERR_READ or
 * ARC_ERR_NO_MEMORY; or ARC_ERR_OPEN for a set when neither volume 1 nor a
 * last volume is usable. Data extents are not checked here: see
 * arc_member_pieces(). After a failure member_count and folder_count are 0;
 * volumes and volume_count stay, so that a missing volume can be named. The
 * caller calls arc_close_installer() in every case.
 */
VARLIX_API arc_status arc_open_installer(const char *path, arc_installer *installer);

/*
 * arc_member_stored_as() - the second name of @member of an engine container
 * (the one the setup program stores it under: _INS0432._MP for INSTALL.EXE),
 * valid until arc_close_installer(); null for an archive's member.
 */
VARLIX_API const char *arc_member_stored_as(const arc_installer *installer,
                                            const arc_member *member);

/*
 * arc_open_installer_with() - arc_open_installer(), with the @volume_path_count
 * files at @volume_paths taken first as volumes of the set, each as the
 * volume its header names, before any file found on disk; for volumes kept
 * in places the search does not look. They are not checked beyond that: see
 * arc_identify_volume(). Ignored for a plain archive.
 */
VARLIX_API arc_status arc_open_installer_with(const char *path, const char *const *volume_paths,
                                              uint32_t volume_path_count, arc_installer *installer);

/*
 * arc_identify_volume() - whether the file at @path is a volume of the disk
 * set that the file at @given_path belongs to: ARC_OK with *@number its
 * volume number; ARC_ERR_OPEN when it cannot be opened (or is not a regular
 * file); ARC_ERR_NOT_ARCHIVE when it is not a volume of that set, or
 * @given_path is not a volume of a set. *@number is 0 after a failure.
 */
VARLIX_API arc_status arc_identify_volume(const char *given_path, const char *path,
                                          uint32_t *number);

/*
 * arc_close_installer() - close every volume's stream and release all the
 * installer holds, leaving it cleared. Safe after any outcome of
 * arc_open_installer(), and a second time.
 */
VARLIX_API void arc_close_installer(arc_installer *installer);

/*
 * arc_member_missing_volume() - the first volume, in order, that holds part of
 * @member's data and whose status is not ARC_OK; null when every one it needs
 * is present, when @member is not in a set, or when its volume numbers make no
 * sense (see arc_member_pieces()).
 */
VARLIX_API const arc_volume *arc_member_missing_volume(const arc_installer *installer,
                                                       const arc_member *member);

/*
 * arc_member_pieces() - where @member's compressed bytes lie, in order: the
 * start volume from the member's offset; when the data goes on, the volume's
 * bytes up to its data_end, then every following volume's from just after
 * its header (whole volumes between), up to packed_size bytes in all.
 * @pieces has room for ARC_MAX_VOLUMES entries; *@piece_count is set to the
 * number filled.
 *
 * Returns ARC_OK; ARC_ERR_OPEN when a volume it needs is not usable
 * (arc_member_missing_volume() names it); ARC_ERR_OUTSIDE when the recorded
 * volumes make no sense (0 in a set, end before start) or a piece would lie
 * in a volume's header or past the end of its file (a truncated volume), or
 * the pieces before the last already hold more than packed_size bytes.
 * *@piece_count is 0 after a failure.
 */
VARLIX_API arc_status arc_member_pieces(const arc_installer *installer, const arc_member *member,
                                        arc_piece *pieces, uint32_t *piece_count);

/*
 * arc_read_member_data() - read @member's compressed bytes, every piece in
 * order, into @packed, which has room for member->packed_size bytes.
 *
 * Returns ARC_OK; ARC_ERR_OPEN or ARC_ERR_OUTSIDE as arc_member_pieces(),
 * before anything is read; ARC_ERR_READ when a seek or read fails. After a
 * failure @packed holds an unspecified part of the data. Moves the volumes'
 * stream positions: one thread at a time.
 */
VARLIX_API arc_status arc_read_member_data(const arc_installer *installer, const arc_member *member,
                                           uint8_t *packed);

/*
 * arc_decode_member() - decode @member's compressed bytes at @packed
 * (member->packed_size of them) into @sink with @sink_context, and check the
 * number of bytes the sink took, counted in 64 bits, against the recorded
 * expanded size. A stored member (ARC_FLAG_STORED) is not decoded: its bytes
 * are handed over as they stand, in the decoder's blocks of 4096 bytes and a
 * shorter last one, and checked the same way, so that one whose sizes differ
 * is ARC_ERR_SIZE.
 *
 * Returns ARC_OK; ARC_ERR_WRITE when the sink returned false; ARC_ERR_DAMAGED
 * for any other fault of the stream; ARC_ERR_SIZE when the stream ended well
 * but after another number of bytes. What reached the sink before a failure
 * stays there. Uses no shared state: callable from any thread.
 */
VARLIX_API arc_status arc_decode_member(const uint8_t *packed, const arc_member *member,
                                        explode_sink sink, void *sink_context);

/*
 * arc_file_name_start() - where the file's own name starts in @path: just
 * after its last folder separator ('/'; on Windows also '\\' and a drive's
 * ':'), or 0 when it has none. Volumes are named from the given path this way.
 */
VARLIX_API size_t arc_file_name_start(const char *path);

/*
 * A sink for arc_decode_member() that gathers the decoded blocks into
 * @buffer and hands them on to @flush in pieces of up to @capacity bytes,
 * keeping no byte past a limit: once @room bytes were kept, the rest are
 * taken, and so still counted against the recorded size, but dropped. The
 * caller fills every field (used 0) and calls arc_buffered_sink_flush() when
 * the decoding is done, whatever its outcome.
 */
typedef struct arc_buffered_sink {
    uint8_t *buffer;
    size_t capacity; /* at least 4096, the decoder's largest block */
    size_t used;     /* bytes waiting in @buffer */
    uint64_t room;   /* bytes still to be kept */
    /* Takes @length bytes on; returns false when they could not all be taken. */
    bool (*flush)(void *context, const uint8_t *bytes, size_t length);
    void *flush_context;
} arc_buffered_sink;

/*
 * arc_buffered_sink_take() - the explode_sink of an arc_buffered_sink at
 * @sink. Returns false when a flush made to make room failed.
 */
VARLIX_API bool arc_buffered_sink_take(void *sink, const uint8_t *bytes, uint32_t length);

/*
 * arc_buffered_sink_flush() - hand on the bytes waiting in @sink. Returns
 * whether they were taken; either way none are waiting after it.
 */
VARLIX_API bool arc_buffered_sink_flush(arc_buffered_sink *sink);

/*
 * arc_extract_installer_member() - read and decode @member of @installer into
 * a new file at @output_path, as arc_extract_member() does for a plain
 * archive: the file is kept only when every step succeeded.
 *
 * Returns ARC_OK; ARC_ERR_OPEN or ARC_ERR_OUTSIDE as arc_member_pieces(),
 * before any memory is taken for the data; ARC_ERR_NO_MEMORY; ARC_ERR_READ
 * as arc_read_member_data(), before the output is created;
 * ARC_ERR_WRITE (also, before anything is created, for a path that names one
 * of the open volumes); ARC_ERR_DAMAGED or ARC_ERR_SIZE. A failed output is
 * removed when it is a regular file.
 */
VARLIX_API arc_status arc_extract_installer_member(arc_installer *installer,
                                                   const arc_member *member,
                                                   const char *output_path);

VARLIX_END_DECLS

#endif
