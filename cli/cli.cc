#include "cli/cli.h"

#include <csignal>
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

void close_log()
{
    if (g_log_file != nullptr)
        std::fclose(g_log_file);
    g_log_file = nullptr;
}

/*
 * Only an argument followed by another can name the log, and the arguments
 * are not consumed: the commands still take theirs by position. In every
 * form that reports anything, argument 1 is the archive; a log that is the
 * archive would have the lines appended to it, so it counts as a log that
 * could not be opened.
 */
void open_log(int argc, char *argv[])
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--log") == 0) {
            g_log_file = std::fopen(argv[i + 1], "a");
            if (arc_path_is_open_file(argv[1], g_log_file))
                close_log();
            return;
        }
    }
}

int run_command(int argc, char *argv[])
{
    const bool list_form = argc >= 2 && std::strcmp(argv[1], "--list") == 0;
    if (argc == 3 && list_form)
        return cli_list(argv[2]);
    if (argc >= 4 && !list_form)
        return cli_extract(argv[1], argv[2], argv[3]);
    std::fputs(USAGE_TEXT, stderr);
    return ARC_EXIT_USAGE;
}

} // namespace

bool cli_open_archive(const char *archive_path, arc_archive *archive, int *exit_code)
{
    const arc_status status = arc_open(archive_path, archive);
    if (status == ARC_OK)
        return true;
    report("%s: %s", archive_path, arc_status_text(status));
    arc_close(archive);
    *exit_code = arc_status_exit_code(status);
    return false;
}

int cli_main(int argc, char *argv[])
{
    /*
     * An output or standard stream whose reader went away is a failed write,
     * not the end. Where there is no SIGPIPE (Windows), the write fails by itself.
     */
#if defined(SIGPIPE)
    std::signal(SIGPIPE, SIG_IGN);
#endif
    open_log(argc, argv);
    const int exit_code = run_command(argc, argv);
    close_log();
    return exit_code;
}
