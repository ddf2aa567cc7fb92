/*
 * status.h - the one vocabulary of outcomes shared by the whole tool.
 *
 * The archive reader returns these values and prints nothing; the front end
 * turns a value into the text of a diagnostic line and into the process exit
 * code. Status numbers and exit codes are two different scales: exit code 1
 * (usage) belongs to no status.
 */
#ifndef VARLIX_CLI_STATUS_H
#define VARLIX_CLI_STATUS_H

#include "varlix_api.h"

VARLIX_BEGIN_DECLS

typedef enum arc_status {
    ARC_OK = 0,
    ARC_ERR_OPEN = 1,
    ARC_ERR_READ = 2,
    ARC_ERR_NOT_ARCHIVE = 3,
    ARC_ERR_DIRECTORY = 4,
    ARC_ERR_NO_MEMBER = 5,
    ARC_ERR_OUTSIDE = 6,
    ARC_ERR_NO_MEMORY = 7,
    ARC_ERR_DAMAGED = 8,
    ARC_ERR_WRITE = 9,
    ARC_ERR_SIZE = 10,
} arc_status;

/* The exit code of a usage error, the one exit code no status maps to. */
enum { ARC_EXIT_USAGE = 1 };

/*
 * arc_status_text() - the message for @status, a constant string with static
 * lifetime. Any integer is accepted; values outside the table give
 * "unknown error".
 */
VARLIX_API const char *arc_status_text(int status);

/*
 * arc_status_exit_code() - the process exit code for @status. Any integer is
 * accepted; values outside the table give 9, the catch-all.
 */
VARLIX_API int arc_status_exit_code(int status);

VARLIX_END_DECLS

#endif
