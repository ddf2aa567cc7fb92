/*
 * unpack_os.h - everything varlix-unpack needs from the operating system
 * beyond the standard library: folders reached relative to a handle without
 * following links, files created exclusively, renamed into place and given
 * their time and permissions, the interrupt clean-up, the terminal test and
 * the command line. unpack_os.cc holds what the platforms share;
 * unpack_os_posix.cc and unpack_os_win32.cc, one of which the build takes,
 * the rest. The code-page conversion is behind codepage.h.
 *
 * Paths and names are UTF-8 on Windows and the bytes given on POSIX.
 *
 * Functions that can fail return 0, or an error: a positive number is the
 * system's own (errno, or GetLastError() on Windows), to be worded by
 * unpack_os_error_text(); a negative one is a UNPACK_OS_ERR_* value.
 */
#ifndef VARLIX_UNPACK_UNPACK_OS_H
#define VARLIX_UNPACK_UNPACK_OS_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

enum {
    UNPACK_OS_ERR_LINK = -1,       /* a symbolic link (or junction) is where a folder would go */
    UNPACK_OS_ERR_NOT_FOLDER = -2, /* something other than a folder is where one would go */
    UNPACK_OS_ERR_EXISTS = -3,     /* the name is taken */
};

/* Slots of the interrupt clean-up table: temporary files that may exist at once. */
enum { UNPACK_OS_TEMP_SLOTS = 256 };

enum unpack_entry_kind {
    UNPACK_ENTRY_NONE,
    UNPACK_ENTRY_FILE,
    UNPACK_ENTRY_FOLDER,
    UNPACK_ENTRY_LINK,
    UNPACK_ENTRY_OTHER,
};

/* An open folder, through which its entries are reached. */
struct unpack_dir;
/* A file open for writing. */
struct unpack_file;

/* A thread started by unpack_os_start_thread(). */
struct unpack_thread;

/* What a finished file is given before it is closed. */
struct unpack_file_details {
    bool has_time;
    int64_t modified; /* seconds since 1970-01-01 00:00 UTC */
    bool read_only;
};

/* An entry of a folder being swept. */
struct unpack_os_entry {
    std::string name;
    /*
     * UNPACK_ENTRY_FILE for a regular file or a link to one; FOLDER for a
     * folder, never a link to one (LINK, not followed); OTHER for a FIFO, a
     * device, a socket.
     */
    unpack_entry_kind kind;
};

/* What names one file or folder, whatever path reaches it. */
struct unpack_os_identity {
    uint64_t device, inode; /* on Windows, volume serial number and file index */
};

/*
 * unpack_os_list_folder() - the entries of the folder at @path, but for "."
 * and "..", in no particular order. Returns 0 or the error of the listing;
 * an entry whose kind cannot be told is OTHER.
 */
int unpack_os_list_folder(const std::string &path, std::vector<unpack_os_entry> *entries);

/*
 * unpack_os_read_start() - up to @count bytes from the start of the regular
 * file at @path into @bytes, *@got of them, without waiting on anything that
 * is not a regular file. Returns 0 or the error.
 */
int unpack_os_read_start(const std::string &path, uint8_t *bytes, size_t count, size_t *got);

/* unpack_os_identify() - the identity of what @path leads to. Returns 0 or the error. */
int unpack_os_identify(const std::string &path, unpack_os_identity *identity);

/* unpack_os_is_folder() - whether @path leads to a folder, links followed. */
bool unpack_os_is_folder(const std::string &path);

/*
 * unpack_os_arguments() - the command line's arguments after the program's
 * name: @argv as given on POSIX; on Windows the wide-character command line
 * in UTF-8, @argv being in the ANSI code page that may not hold every name.
 */
std::vector<std::string> unpack_os_arguments(int argc, char *argv[]);

/* unpack_os_prepare_console() - on Windows, a console that shows UTF-8; nothing elsewhere. */
void unpack_os_prepare_console();

/* unpack_os_stderr_is_terminal() - whether standard error is a terminal (a console). */
bool unpack_os_stderr_is_terminal();

/*
 * unpack_os_error_text() - the system's text for @error (a UNPACK_OS_ERR_*
 * value or the system's own number). Call from one thread at a time.
 */
std::string unpack_os_error_text(int error);

/*
 * unpack_os_library_path() - @path as the archive library's fopen() takes it:
 * unchanged on POSIX, in the ANSI code page on Windows. Sets *@ok to false when
 * a character of @path has no equivalent there.
 */
std::string unpack_os_library_path(const std::string &path, bool *ok);

/*
 * unpack_os_open_root() - open the folder at @path, as the user named it
 * (links followed), creating it and any missing parents. *@created is set to
 * the number of folders made. Returns 0 with *@dir set, or an error (null
 * *@dir).
 */
int unpack_os_open_root(const std::string &path, unpack_dir **dir, unsigned *created);

/*
 * unpack_os_open_folder() - open the folder @name inside @parent, making it
 * when it does not exist; a link there is never followed. *@created tells
 * whether it was made. Returns 0 with *@dir set; UNPACK_OS_ERR_LINK or
 * UNPACK_OS_ERR_NOT_FOLDER when something else holds the name; or the
 * system's error. *@dir is null after a failure.
 */
int unpack_os_open_folder(unpack_dir *parent, const std::string &name, unpack_dir **dir,
                          bool *created);

/* unpack_os_close_folder() - release @dir (null is allowed). */
void unpack_os_close_folder(unpack_dir *dir);

/*
 * unpack_os_entry_kind() - what is at @name inside @dir, links not followed.
 * Returns 0 with *@kind set (UNPACK_ENTRY_NONE when nothing), or an error.
 */
int unpack_os_entry_kind(unpack_dir *dir, const std::string &name, unpack_entry_kind *kind);

/*
 * unpack_os_standard_output() - standard output as a file to write bytes to
 * (on Windows, switched to binary). Never closed.
 */
unpack_file *unpack_os_standard_output();

/*
 * unpack_os_write() - write all @length bytes at @bytes to @file. Returns 0
 * or the error of the write that failed. Any thread may write its own file.
 */
int unpack_os_write(unpack_file *file, const uint8_t *bytes, size_t length);

/* Decoded bytes are written in pieces of this size rather than the decoder's 4 KiB blocks. */
const size_t UNPACK_WRITE_PIECE_SIZE = size_t{1} << 18;

/* An arc_buffered_sink's destination: a file, and why writing to it failed. */
struct unpack_file_output {
    unpack_file *file;
    int error; /* unpack_os_write()'s error once a write failed, else 0 */
};

/* unpack_file_output_take() - unpack_os_write() as arc_buffered_sink's write, @context an
 * unpack_file_output. */
bool unpack_file_output_take(void *context, const uint8_t *bytes, size_t length);

/*
 * unpack_os_close_file() - give @file its modification time and, when
 * read-only, a mode without write permission (on Windows the read-only
 * attribute) as @details say (null: neither), then close it. Returns 0 or
 * the first error; the file is closed and released in every case.
 */
int unpack_os_close_file(unpack_file *file, const unpack_file_details *details);

/*
 * unpack_os_rename() - give the file @from in @dir the name @to. With
 * @replace an existing file (or link) @to is replaced, never followed;
 * without it the rename fails with UNPACK_OS_ERR_EXISTS when @to is taken.
 * Returns 0 or an error.
 */
int unpack_os_rename(unpack_dir *dir, const std::string &from, const std::string &to, bool replace);

/* unpack_os_remove() - remove the file @name in @dir. Returns 0 or an error. */
int unpack_os_remove(unpack_dir *dir, const std::string &name);

/*
 * The interrupt clean-up. After unpack_os_install_interrupt_cleanup(),
 * SIGINT, SIGTERM and SIGHUP (on Windows, Ctrl-C, Ctrl-Break and closing the
 * console) remove every temporary file in the table, then end the process
 * as the signal would have, however many of them come and in whatever order;
 * a signal that was ignored when the program started stays ignored. On POSIX
 * the signals are taken by the thread that installed the clean-up: threads
 * started between unpack_os_block_interrupts (true) and (false) never take
 * them. Any thread may create and withdraw temporary files, each in a slot
 * of its own.
 */
void unpack_os_install_interrupt_cleanup();
void unpack_os_block_interrupts(bool block);

/*
 * unpack_os_start_thread() - run @run(@argument) in a new thread. Returns 0
 * with *@thread set, or the system's error with *@thread null.
 */
int unpack_os_start_thread(void (*run)(void *argument), void *argument, unpack_thread **thread);

/* unpack_os_join_thread() - wait for @thread to end, and release it. */
void unpack_os_join_thread(unpack_thread *thread);

/*
 * unpack_os_create_temp() - create a new file for writing in @dir, under a
 * name of this process's own (a dot file, hidden where the platform hides
 * them, of the form unpack_os_is_temp_name() tells), registered in @slot of
 * the table, which reaches the file through @dir: @dir stays open until the
 * slot is withdrawn. Returns 0 with *@name and *@file set, or an error (null
 * *@file, nothing registered).
 */
int unpack_os_create_temp(unsigned slot, unpack_dir *dir, std::string *name, unpack_file **file);

/* unpack_os_withdraw_temp() - take @slot's file out of the table, once renamed or removed. */
void unpack_os_withdraw_temp(unsigned slot);

/*
 * unpack_os_is_temp_name() - whether @name has the form of a temporary file
 * of this program, of any process: ".varlix-unpack-", anything, ".tmp",
 * without regard to ASCII case. No member may take such a name, or it could
 * reach another member's temporary file.
 */
bool unpack_os_is_temp_name(const std::string &name);

/*
 * unpack_os_ignore_broken_pipes() - make a write to a pipe whose reader went
 * away fail (standard error into `head`, say) rather than end the process.
 */
void unpack_os_ignore_broken_pipes();

/*
 * unpack_os_local_time_to_utc() - the moment, in seconds since 1970-01-01
 * 00:00 UTC, at which the local clock read @local (its date and time fields
 * as mktime() takes them; tm_isdst is not read), with daylight-saving time
 * as the zone's rules give it for that day: on POSIX mktime() and TZ; on
 * Windows the system's time zone, with the rules Windows holds for that
 * year. Returns 0 with *@seconds set, or an error.
 */
int unpack_os_local_time_to_utc(const std::tm &local, int64_t *seconds);

/* unpack_os_is_no_room() - whether @error says the disk or the user's quota is full. */
bool unpack_os_is_no_room(int error);

/*
 * unpack_os_name_problem() - why the platform cannot hold @name (UTF-8, one
 * part of a path, neither empty nor "." nor "..") as a file or folder name,
 * or null when it can. NUL and '/' are refused before this is asked.
 */
const char *unpack_os_name_problem(const std::string &name);

#endif
