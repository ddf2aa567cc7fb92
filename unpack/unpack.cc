/*
 * unpack.cc - varlix-unpack's entry: the options, then one installer (an
 * archive, a volume of a set, an engine container) or every installer of a
 * folder tree, listed, tested, extracted or written to standard output.
 */
#include "unpack/unpack.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "archive/archive.h"
#include "unpack/codepage.h"
#include "unpack/listing.h"
#include "unpack/options.h"
#include "unpack/plan.h"
#include "unpack/progress.h"
#include "unpack/run.h"
#include "unpack/sweep.h"
#include "unpack/unpack_os.h"
#include "varlix_version.h"

namespace {

/* A pattern that matched nothing is a member that is not there. */
const int EXIT_NO_MATCH = arc_status_exit_code(ARC_ERR_NO_MEMBER);
/* A folder that holds no installer holds nothing that is an archive. */
const int EXIT_NO_INSTALLER = arc_status_exit_code(ARC_ERR_NOT_ARCHIVE);

int usage_error(const std::string &problem)
{
    std::fprintf(stderr, "varlix-unpack: %s\nTry 'varlix-unpack --help' for more information.\n",
                 problem.c_str());
    return ARC_EXIT_USAGE;
}

/* What every mode needs. */
struct session {
    const unpack_options *options;
    unpack_converter *converter;
    unpack_console console;
    int exit_code; /* of the first failure, or 0 */
};

void tell_failure(session *run, const std::string &line, int exit_code)
{
    unpack_console_line(&run->console, line);
    if (run->exit_code == 0)
        run->exit_code = exit_code;
}

/* Opens @path as an installer into @target; on failure, target->failure tells why. */
void open_target(session *run, const std::string &path, const std::vector<std::string> &volumes,
                 unpack_target *target)
{
    bool path_ok = false;
    const std::string library_path = unpack_os_library_path(path, &path_ok);
    std::vector<std::string> library_volumes;
    std::vector<const char *> volume_paths;
    for (const std::string &volume : volumes) {
        bool volume_ok = false;
        library_volumes.push_back(unpack_os_library_path(volume, &volume_ok));
    }
    for (const std::string &volume : library_volumes)
        volume_paths.push_back(volume.c_str());
    const arc_status status =
        path_ok ? arc_open_installer_with(library_path.c_str(), volume_paths.data(),
                                          static_cast<uint32_t>(volume_paths.size()),
                                          &target->installer)
                : ARC_ERR_OPEN;
    if (status != ARC_OK) {
        target->failure =
            (target->label.empty() ? path : target->label) + ": " + arc_status_text(status);
        target->failure_exit = arc_status_exit_code(status);
        return;
    }
    target->path = path;
    const unpack_options &options = *run->options;
    unpack_build_catalog(&target->installer, run->converter, options.code_page, options.flat,
                         options.patterns, &target->catalog);
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

/* Each pattern that selected nothing anywhere, named after @subject. */
bool report_unmatched(session *run, const std::string &subject, const std::vector<bool> &matched)
{
    bool any = false;
    for (size_t i = 0; i < run->options->patterns.size(); ++i) {
        if (matched[i])
            continue;
        unpack_console_line(&run->console, subject + ": no member matches \"" +
                                               unpack_display(run->options->patterns[i]) + "\"");
        any = true;
    }
    return any;
}

void print_summary(session *run, const unpack_totals &totals, const std::string &sweep_tail)
{
    const bool test = run->options->test;
    std::string line = (test ? "tested " : "extracted ") +
                       unpack_count(totals.members_ok, "member") + ", " +
                       std::to_string(totals.bytes_ok) + " bytes";
    if (!test)
        line += ", " + unpack_count(totals.folders_made, "new folder");
    line += ", " + unpack_count(totals.failures, "failure") + sweep_tail;
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), ", %.2f s", unpack_console_seconds(&run->console));
    unpack_console_line(&run->console, line + seconds);
}

/* The one target of a run on a single installer, handed over once. */
struct single_source {
    unpack_target *target;
    bool given;
};

bool next_single(void *context, unpack_target *target)
{
    single_source *source = static_cast<single_source *>(context);
    if (source->given)
        return false;
    source->given = true;
    *target = std::move(*source->target);
    source->target->installer = arc_installer();
    return true;
}

/* --volume: each file a volume of the given set, no volume named twice. */
bool check_named_volumes(const unpack_options &options, std::string *problem)
{
    std::vector<uint32_t> numbers;
    bool given_ok = false;
    const std::string given = unpack_os_library_path(options.archive, &given_ok);
    uint32_t given_number = 0;
    if (given_ok)
        arc_identify_volume(given.c_str(), given.c_str(), &given_number);
    if (given_number != 0)
        numbers.push_back(given_number);
    for (const std::string &volume : options.volumes) {
        bool ok = false;
        const std::string path = unpack_os_library_path(volume, &ok);
        uint32_t number = 0;
        const arc_status status =
            ok ? arc_identify_volume(given.c_str(), path.c_str(), &number) : ARC_ERR_OPEN;
        if (given_number == 0)
            *problem = "--volume names volumes of a disk set, and '" + options.archive +
                       "' is not a volume of one";
        else if (status == ARC_ERR_OPEN)
            *problem = "the volume '" + volume + "' cannot be opened";
        else if (status != ARC_OK)
            *problem = "'" + volume + "' is not a volume of the set of '" + options.archive + "'";
        else if (std::find(numbers.begin(), numbers.end(), number) != numbers.end())
            *problem = "volume " + std::to_string(number) + " is named twice ('" + volume + "')";
        if (!problem->empty())
            return false;
        numbers.push_back(number);
    }
    return true;
}

void list_installer(session *run, unpack_target *target)
{
    const unpack_options &options = *run->options;
    if (options.json) {
        const std::string document = unpack_json_document(
            &target->installer, target->catalog, target->path, run->converter, options.code_page);
        std::fwrite(document.data(), 1, document.size(), stdout);
    } else {
        unpack_print_table(&target->installer, target->catalog);
        report_unusable_volumes(target->installer, &run->console);
    }
}

int run_single(session *run)
{
    const unpack_options &options = *run->options;
    unpack_target target;
    target.installer = arc_installer();
    target.directory =
        options.directory.empty() ? unpack_default_directory(options.archive) : options.directory;
    open_target(run, options.archive, options.volumes, &target);
    if (!target.failure.empty()) {
        std::fprintf(stderr, "%s\n", target.failure.c_str());
        arc_close_installer(&target.installer);
        return target.failure_exit;
    }
    const bool unmatched = report_unmatched(run, options.archive, target.catalog.pattern_matched);
    if (options.list) {
        list_installer(run, &target);
    } else if (options.to_stdout) {
        run->exit_code = unpack_write_to_stdout(&target, options, &run->console);
    } else {
        single_source source = {&target, false};
        unpack_totals totals;
        unpack_run({next_single, &source}, options, &run->console, &totals);
        run->exit_code = totals.exit_code;
        if (!options.quiet)
            print_summary(run, totals, "");
    }
    arc_close_installer(&target.installer);
    return run->exit_code == 0 && unmatched ? EXIT_NO_MATCH : run->exit_code;
}

/* The installers of a swept folder, handed over in order; unreadable entries as failures. */
struct sweep_source {
    session *run;
    const unpack_sweep *sweep;
    std::string output;
    size_t next;
};

bool next_swept(void *context, unpack_target *target)
{
    sweep_source *source = static_cast<sweep_source *>(context);
    if (source->next == source->sweep->found.size())
        return false;
    const unpack_found &found = source->sweep->found[source->next++];
    *target = unpack_target();
    target->installer = arc_installer();
    target->label = found.relative;
    target->directory = source->output + "/" + found.relative;
    if (found.read_error != 0) {
        target->failure =
            found.relative + ": cannot be read: " + unpack_os_error_text(found.read_error);
        target->failure_exit = arc_status_exit_code(ARC_ERR_OPEN);
        return true;
    }
    open_target(source->run, found.path, found.volumes, target);
    return true;
}

size_t installers_in(const unpack_sweep &sweep)
{
    size_t count = 0;
    for (const unpack_found &found : sweep.found)
        count += found.read_error == 0 ? 1 : 0;
    return count;
}

/* -l and --json over a swept folder: each installer in turn, a JSON array of their documents. */
void list_swept(session *run, sweep_source *source, std::vector<bool> *matched)
{
    const bool json = run->options->json;
    bool first = true;
    if (json)
        std::fputs("[\n", stdout);
    for (;;) {
        unpack_target target;
        if (!next_swept(source, &target))
            break;
        if (!target.failure.empty()) {
            tell_failure(run, target.failure, target.failure_exit);
        } else {
            for (size_t i = 0; i < matched->size(); ++i)
                (*matched)[i] = (*matched)[i] || target.catalog.pattern_matched[i];
            if (json && !first)
                std::fputs(",\n", stdout);
            if (!json)
                std::printf("%s%s:\n", first ? "" : "\n", target.label.c_str());
            first = false;
            list_installer(run, &target);
        }
        arc_close_installer(&target.installer);
    }
    if (json)
        std::fputs("]\n", stdout);
}

int run_sweep(session *run)
{
    const unpack_options &options = *run->options;
    const std::string output =
        options.directory.empty() ? unpack_sweep_output(options.archive) : options.directory;
    unpack_os_identity root, skipped;
    const bool output_exists = unpack_os_identify(output, &skipped) == 0;
    if (output_exists && unpack_os_identify(options.archive, &root) == 0 &&
        root.device == skipped.device && root.inode == skipped.inode)
        return usage_error("the output folder is the folder being swept");
    unpack_sweep sweep;
    unpack_sweep_folder(options.archive, output_exists ? &skipped : nullptr, &sweep);
    const size_t installers = installers_in(sweep);
    if (installers == 0 && sweep.found.empty()) {
        tell_failure(run,
                     options.archive + ": no installer found (" +
                         unpack_count(sweep.files_scanned, "file") + " scanned)",
                     EXIT_NO_INSTALLER);
        return run->exit_code;
    }
    sweep_source source = {run, &sweep, output, 0};
    std::vector<bool> matched(options.patterns.size(), false);
    if (options.list) {
        list_swept(run, &source, &matched);
    } else {
        unpack_totals totals;
        unpack_run({next_swept, &source}, options, &run->console, &totals);
        matched = totals.pattern_matched;
        if (run->exit_code == 0)
            run->exit_code = totals.exit_code;
        if (!options.quiet)
            print_summary(run, totals,
                          "; " + unpack_count(installers, "installer") + " in " +
                              unpack_count(sweep.files_scanned, "file") + " scanned");
    }
    const bool unmatched = report_unmatched(run, options.archive, matched);
    return run->exit_code == 0 && unmatched ? EXIT_NO_MATCH : run->exit_code;
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
    const bool sweep = unpack_os_is_folder(options.archive);
    if (sweep && options.to_stdout)
        return usage_error("--stdout takes one installer, not a folder");
    if (sweep && !options.volumes.empty())
        return usage_error("--volume names the volumes of one set, not of a folder");
    if (!sweep && !check_named_volumes(options, &problem))
        return usage_error(problem);
    unpack_converter *converter = unpack_open_converter(options.code_page);
    if (converter == nullptr)
        return usage_error("unknown code page '" + options.code_page + "'");

    const bool progress =
        !options.quiet && !options.list && !options.to_stdout && unpack_os_stderr_is_terminal();
    session run = {&options, converter, unpack_console_start(progress), 0};
    int exit_code = sweep ? run_sweep(&run) : run_single(&run);
    unpack_close_converter(converter);
    if (std::fflush(stdout) != 0 && exit_code == 0)
        exit_code = arc_status_exit_code(ARC_ERR_WRITE);
    return exit_code;
}
