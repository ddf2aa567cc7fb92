/*
 * sweep.h - every installer in a folder tree: the archives and engine
 * containers found by their first bytes, whatever their names, the volumes
 * of each disk set grouped into one installer, in byte-wise order of their
 * paths in the tree.
 */
#ifndef VARLIX_UNPACK_SWEEP_H
#define VARLIX_UNPACK_SWEEP_H

#include <cstdint>
#include <string>
#include <vector>

#include "unpack/unpack_os.h"

/* One installer found, or one entry that could not be read. */
struct unpack_found {
    std::string relative;             /* its path in the tree; for a set, its lowest volume's */
    std::string path;                 /* the same, as the file system is given it */
    std::vector<std::string> volumes; /* a set's other volumes found in the tree */
    int read_error;                   /* not 0: the entry could not be read, for this reason */
};

struct unpack_sweep {
    uint64_t files_scanned;          /* regular files read, installers or not */
    std::vector<unpack_found> found; /* in byte-wise order of relative */
};

/*
 * unpack_sweep_folder() - scan the tree at @root for installers. A folder
 * whose identity is @skip (the output folder, when it is inside the tree)
 * is not entered; links to folders are not followed, links to files are
 * read. One folder is open at a time.
 */
void unpack_sweep_folder(const std::string &root, const unpack_os_identity *skip,
                         unpack_sweep *sweep);

/*
 * unpack_sweep_output() - the default output folder for sweeping @root:
 * "<its name>-unpacked", or "unpacked" when its name is not a plain one.
 */
std::string unpack_sweep_output(const std::string &root);

#endif
