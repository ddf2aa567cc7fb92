#include "unpack/unpack.h"

#include <cstdio>

#include "archive/archive.h"
#include "unpack/codepage.h"
#include "unpack/listing.h"
#include "unpack/options.h"
#include "unpack/plan.h"
#include "unpack/progress.h"
#include "unpack/run.h"
#include "unpack/unpack_os.h"
#include "varlix_version.h"

namespace {

/* A pattern that matched nothing is a member that is not there. */
const int EXIT_NO_MATCH = arc_status_exit_code(ARC_ERR_NO_MEMBER);

int usage_error(const std::string &problem)
{
    std::fprintf(stderr, "varlix-unpack: %s\nTry 'varlix-unpack --help' for more information.\n",
                 problem.c_str());
    return ARC_EXIT_USAGE;
}

/* Each pattern that selected nothing, told before anything else happens. */
bool report_unmatched(const unpack_options &options, const unpack_catalog &catalog,
                      unpack_console *console)
{
    bool any = false;
    for (size_t i = 0; i < options.patterns.size(); ++i) {
        if (catalog.pattern_matched[i])
            continue;
        unpack_console_line(console, options.archive + ": no member matches \"" +
                                         unpack_display(options.patterns[i]) + "\"");
        any = true;
    }
    return any;
}

/* Volumes that cannot be read, named once each in a listing. */
void report_unusable_volumes(const arc_installer &installer, unpack_console *console)
{
    for (uint32_t v = 0; v < installer.volume_count; ++v) {
        const arc_volume &volume = installer.volumes[v];
        if (volume.status != ARC_OK)
            unpack_console_line(console,
                                std::string(volume.path) + ": " + arc_status_text(volume.status));
    }
}

int run_on_installer(arc_installer *installer, const unpack_options &options,
                     unpack_converter *converter)
{
    unpack_catalog catalog;
    unpack_build_catalog(installer, converter, options.code_page, options.flat, options.patterns,
                         &catalog);
    unpack_console console =
        unpack_console_start(!options.quiet && !options.list && unpack_os_stderr_is_terminal());
    const bool unmatched = report_unmatched(options, catalog, &console);
    int exit_code = 0;
    if (options.json) {
        const std::string document =
            unpack_json_document(installer, catalog, options.archive, converter, options.code_page);
        std::fwrite(document.data(), 1, document.size(), stdout);
    } else if (options.list) {
        unpack_print_table(installer, catalog);
        report_unusable_volumes(*installer, &console);
    } else {
        const std::string directory = options.directory.empty()
                                          ? unpack_default_directory(options.archive)
                                          : options.directory;
        exit_code = unpack_run(installer, catalog, options, directory, &console);
    }
    return exit_code == 0 && unmatched ? EXIT_NO_MATCH : exit_code;
}

} // namespace

int unpack_main(const std::vector<std::string> &args)
{
    unpack_os_prepare_console();
    unpack_os_ignore_broken_pipes();
    unpack_options options;
    std::string problem;
    if (!unpack_parse_options(args, &options, &problem))
        return usage_error(problem);
    if (options.help) {
        std::fputs(UNPACK_HELP_TEXT, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("varlix-unpack %s\n", VARLIX_VERSION);
        return 0;
    }
    unpack_converter *converter = unpack_open_converter(options.code_page);
    if (converter == nullptr)
        return usage_error("unknown code page '" + options.code_page + "'");

    bool path_ok = false;
    const std::string library_path = unpack_os_library_path(options.archive, &path_ok);
    arc_installer installer = {};
    const arc_status status =
        path_ok ? arc_open_installer(library_path.c_str(), &installer) : ARC_ERR_OPEN;
    int exit_code;
    if (status == ARC_OK) {
        exit_code = run_on_installer(&installer, options, converter);
    } else {
        std::fprintf(stderr, "%s: %s\n", options.archive.c_str(), arc_status_text(status));
        exit_code = arc_status_exit_code(status);
    }
    arc_close_installer(&installer);
    unpack_close_converter(converter);
    if (std::fflush(stdout) != 0 && exit_code == 0)
        exit_code = arc_status_exit_code(ARC_ERR_WRITE);
    return exit_code;
}
