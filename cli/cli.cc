#include "cli/cli.h"

#include <cstdio>
#include <cstring>

#include "archive/archive.h"
#include "cli/report.h"
#include "cli/status.h"

namespace {

const char USAGE_TEXT[] =
    "varlix: read an InstallShield 3 .Z archive\n"
    "\n"
    "  varlix --list <archive>\n"
    "  varlix <archive> <member> <output-file> [--log <file>]\n"
    "\n"
    "Exit codes: 0 ok, 1 usage, 2 cannot open, 3 not an archive, 4 bad directory,\n"
    "            5 no such member, 6 damaged stream, 7 cannot write, 8 size mismatch.\n";

const int EXIT_USAGE = 1;

/*
 * Only an argument followed by another can name the log, and the arguments
 * are not consumed: the commands still take theirs by position.
 */
void open_log(int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0) {
            g_log_file = std::fopen(argv[i + 1], "a");
            return;
        }
    }
}

void close_log()
{
    if (g_log_file != nullptr)
        std::fclose(g_log_file);
    g_log_file = nullptr;
}

int run_command(int argc, char *argv[])
{
    const bool list_form = argc >= 2 && std::strcmp(argv[1], "--list") == 0;
    if (argc == 3 && list_form)
        return cli_list(argv[2]);
    if (argc >= 4 && !list_form)
        return cli_extract(argv[1], argv[2], argv[3]);
    cli_print_usage();
    return EXIT_USAGE;
}

void print_listing(const arc_archive *archive, const char *archive_path)
{
    std::printf("%zu member(s) in %s\n", static_cast<size_t>(archive->member_count), archive_path);
    for (uint32_t i = 0; i < archive->member_count; ++i) {
        const arc_member *member = &archive->members[i];
        std::printf("  %-24s offset %10u  compressed %10u  expands to %10u\n", member->name,
                    static_cast<unsigned>(member->offset),
                    static_cast<unsigned>(member->packed_size),
                    static_cast<unsigned>(member->unpacked_size));
    }
}

} // namespace

void cli_print_usage()
{
    std::fputs(USAGE_TEXT, stderr);
}

int cli_list(const char *archive_path)
{
    arc_archive archive;
    const arc_status status = arc_open(archive_path, &archive);
    if (status != ARC_OK) {
        report("%s: %s", archive_path, arc_status_text(status));
        arc_close(&archive);
        return arc_status_exit_code(status);
    }
    print_listing(&archive, archive_path);
    arc_close(&archive);
    return 0;
}

int cli_main(int argc, char *argv[])
{
    open_log(argc, argv);
    const int exit_code = run_command(argc, argv);
    close_log();
    return exit_code;
}
