/*
 * extract_member - extracts one member of an archive with the installed
 * library: the README's example of using it.
 *
 * Usage: extract_member <archive> <member> <output-file>
 * Exits with the code varlix itself would give for the outcome.
 */
#include <cstdio>

#include "archive/archive.h"

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fputs("usage: extract_member <archive> <member> <output-file>\n", stderr);
        return 1;
    }
    arc_archive archive;
    arc_status status = arc_open(argv[1], &archive);
    if (status == ARC_OK) {
        const arc_member *member = arc_find_member(&archive, argv[2]);
        status =
            member != nullptr ? arc_extract_member(&archive, member, argv[3]) : ARC_ERR_NO_MEMBER;
    }
    arc_close(&archive); /* needed whatever arc_open() returned */
    std::printf("%s: %s\n", argv[2], arc_status_text(status));
    return arc_status_exit_code(status);
}
