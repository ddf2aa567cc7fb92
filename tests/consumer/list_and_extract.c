/*
 * list_and_extract - the library from C: lists an archive or any volume of a
 * disk set, a line per member, and extracts the member named, if any. The
 * README's C example; the consumer tests build it with a C99 compiler
 * against the installed shared library and check what it prints.
 *
 * Usage: list_and_extract <archive> [<member> <output-file>]
 */
#include <stdio.h>

#include "archive/archive.h"

/* Names are in the installer's code page; here, anything beyond ASCII shows as '?'. */
static void print_ascii(const char *text)
{
    for (; *text != '\0'; ++text)
        putchar((unsigned char)*text < 0x80 ? *text : '?');
}

int main(int argc, char *argv[])
{
    if (argc != 2 && argc != 4) {
        fputs("usage: list_and_extract <archive> [<member> <output-file>]\n", stderr);
        return 1;
    }
    arc_installer installer;
    arc_status status = arc_open_installer(argv[1], &installer);
    for (uint32_t i = 0; status == ARC_OK && i < installer.archive.member_count; ++i) {
        const arc_member *member = &installer.archive.members[i];
        const arc_folder *folder = &installer.folders[member->folder];
        print_ascii(folder->name);
        print_ascii(folder->name_length != 0 ? "\\" : "");
        print_ascii(member->name);
        printf(" %u bytes\n", (unsigned)member->unpacked_size);
    }
    if (status == ARC_OK && argc == 4) {
        const arc_member *member = arc_find_member(&installer.archive, argv[2]);
        status = member != NULL ? arc_extract_installer_member(&installer, member, argv[3])
                                : ARC_ERR_NO_MEMBER;
        printf("%s: %s\n", argv[2], arc_status_text(status));
    }
    if (status != ARC_OK && argc == 2)
        printf("%s: %s\n", argv[1], arc_status_text(status));
    arc_close_installer(&installer); /* needed whatever arc_open_installer() returned */
    return arc_status_exit_code(status);
}
