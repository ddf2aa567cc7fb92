/*
 * writer.h - the output folder and the folders inside it, as the main thread
 * makes and holds them while members are written there.
 *
 * Every folder is reached from the output folder's handle one part at a
 * time, made when missing, and never through a link. A folder's handle is
 * kept while a member inside it is pending, and while its members come one
 * after another (they come grouped by folder); it is closed afterwards, so
 * that few are open at once however many folders an installer has.
 */
#ifndef VARLIX_UNPACK_WRITER_H
#define VARLIX_UNPACK_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "unpack/unpack_os.h"

struct unpack_folder_slot {
    unpack_dir *dir; /* open, or null */
    bool is_new;     /* made by this run: nothing was in it before */
    int error;       /* why it could not be opened, once tried; else 0 */
    unsigned users;  /* pending members inside it */
};

struct unpack_writer {
    unpack_dir *root;
    bool root_is_new;                        /* made by this run */
    std::vector<unpack_folder_slot> folders; /* one per installer folder */
    uint32_t current;                        /* the folder of the member last taken */
    unsigned folders_made;
};

/*
 * unpack_writer_open() - open the output folder @path, making it (and its
 * missing parents) as needed, for an installer of @folder_count folders.
 * Returns 0 or the error; unpack_writer_close() is needed either way.
 */
int unpack_writer_open(unpack_writer *writer, const std::string &path, uint32_t folder_count);

/*
 * unpack_writer_take_folder() - the folder @folder, whose path inside the
 * output folder is @parts (none: the output folder itself), opened and made
 * as needed, held until unpack_writer_release_folder(). Returns 0 with *@dir
 * set and *@is_new telling whether this run made it, or the error (the same
 * for every later call for this folder).
 */
int unpack_writer_take_folder(unpack_writer *writer, uint32_t folder,
                              const std::vector<std::string> &parts, unpack_dir **dir,
                              bool *is_new);

/* unpack_writer_release_folder() - give back a folder taken with success. */
void unpack_writer_release_folder(unpack_writer *writer, uint32_t folder,
                                  const std::vector<std::string> &parts);

/*
 * unpack_writer_forget_failure() - let the next unpack_writer_take_folder()
 * for @folder try again rather than give the error it met before.
 */
void unpack_writer_forget_failure(unpack_writer *writer, uint32_t folder);

/* unpack_writer_close() - close every handle. */
void unpack_writer_close(unpack_writer *writer);

#endif
