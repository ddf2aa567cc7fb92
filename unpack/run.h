/*
 * run.h - extracting or testing the selected members of one installer or of
 * many (a swept folder) with one pool of workers, every outcome told in
 * order whatever the number of workers; and writing members to standard
 * output.
 */
#ifndef VARLIX_UNPACK_RUN_H
#define VARLIX_UNPACK_RUN_H

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "unpack/options.h"
#include "unpack/plan.h"
#include "unpack/progress.h"

/* One installer of a run, with what it becomes. */
struct unpack_target {
    /*
     * What its members' paths are shown after, with a '/': empty for a
     * single archive; its place in a swept folder ("DISK1/_SETUP.1").
     */
    std::string label;
    std::string path;      /* the file it was opened from, as given */
    std::string directory; /* where its members go */
    /* When it could not be opened: the line that tells so, and its exit code. */
    std::string failure;
    int failure_exit;
    arc_installer installer; /* opened with ARC_OK unless failure is set; closed by the run */
    unpack_catalog catalog;
};

/*
 * The installers of a run, handed over in order, each when the run reaches
 * it: next() fills *@target with the next one and returns true, or returns
 * false when there are no more.
 */
struct unpack_targets {
    bool (*next)(void *context, unpack_target *target);
    void *context;
};

/* What a run did, for its summary line. */
struct unpack_totals {
    uint64_t members_ok, bytes_ok, failures, folders_made;
    int exit_code;                     /* of the first failure, in order, or 0 */
    std::vector<bool> pattern_matched; /* one per pattern: it selected a member somewhere */
};

/*
 * unpack_run() - extract the selected members of each installer @targets
 * hands over into its directory, or with options.test only decode and check
 * them, telling each failure (and with options.verbose each success) on
 * @console in order: installers in the order they come, members in directory
 * order. Members of several installers are decoded at once, and at most a
 * few installers are open at once. *@totals is filled.
 */
void unpack_run(const unpack_targets &targets, const unpack_options &options,
                unpack_console *console, unpack_totals *totals);

/*
 * unpack_write_to_stdout() - the selected members of @target's installer,
 * decoded one after the other onto standard output, each checked against
 * its recorded size; after a member fails, nothing more is written. Failures
 * (and with options.verbose each success) are told on @console. Returns the
 * failed member's exit code, or 0.
 */
int unpack_write_to_stdout(unpack_target *target, const unpack_options &options,
                           unpack_console *console);

/* unpack_shown_path() - a member's path as messages show it: after the target's label. */
std::string unpack_shown_path(const unpack_target &target, uint32_t member);

#endif
