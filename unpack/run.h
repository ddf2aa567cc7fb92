/*
 * run.h - extracting or testing the selected members with a pool of workers,
 * every outcome told in directory order whatever the number of workers.
 */
#ifndef VARLIX_UNPACK_RUN_H
#define VARLIX_UNPACK_RUN_H

#include "archive/archive.h"
#include "unpack/options.h"
#include "unpack/plan.h"
#include "unpack/progress.h"

/*
 * unpack_run() - extract the selected members of @installer (opened with
 * ARC_OK) into @directory, or with options.test only decode and check them,
 * telling each failure (and with options.verbose each success) on @console,
 * then, unless options.quiet, a summary line.
 *
 * Returns the exit code of the first member that failed, in directory order,
 * or 0.
 */
int unpack_run(arc_installer *installer, const unpack_catalog &catalog,
               const unpack_options &options, const std::string &directory,
               unpack_console *console);

#endif
