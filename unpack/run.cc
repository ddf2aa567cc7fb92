/*
 * run.cc - the main thread's loop: take the selected members in directory
 * order, prepare each (check its path, make its folder, see that its name is
 * free) and queue it for the workers, which read, decode and write it; tell
 * the outcomes in the same order, renaming each finished file into place.
 *
 * Memory stays bounded by the number of workers: each reads one member's
 * compressed bytes at a time. The temporary files stay bounded by the
 * clean-up table: no more members are pending than it has slots. Folders
 * are made by this thread in directory order, the same number of members
 * ahead whatever the number of workers, and every selected member has a path
 * of its own (the plan turned collisions into failures), so the messages, the
 * files and the exit code are the same for any number of workers, whichever
 * order they finish in.
 *
 * A full disk is the one outcome that depends on what else is being written
 * at the moment. So when the member being told failed for want of room, the
 * members after it are undone (their files removed) and it is tried again
 * alone, as it would have been written had it been the last: if it fails
 * again, the disk is full from there on, and every later member is told as
 * not written for that reason.
 */
#include "unpack/run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>

#include "unpack/pool.h"
#include "unpack/unpack_os.h"
#include "unpack/writer.h"

namespace {

/* An unsafe path, an existing file or a conflict is a file that could not be written. */
const int EXIT_CANNOT_WRITE = arc_status_exit_code(ARC_ERR_WRITE);

/* One selected member on its way through. */
struct pending {
    uint32_t member;
    std::string failure; /* the failure line when it failed before being decoded */
    int failure_exit;
    int no_room_error; /* the error when its folder could not be made for want of room */
    bool submitted;
    bool holds_folder;
    bool holds_slot;
    bool retried; /* it failed for want of room once and was tried again alone */
    unpack_job job;
};

struct run_state {
    arc_installer *installer;
    const unpack_catalog *catalog;
    const unpack_options *options;
    unpack_console *console;
    std::vector<std::string> conflicts;
    unpack_writer writer;
    unpack_pool pool;
    unsigned workers;
    std::vector<unsigned> free_slots;
    int disk_full_error; /* once a member failed for want of room twice: its error */

    uint64_t members_done, members_ok, bytes_ok, bytes_total, failures;
    int exit_code;
};

const arc_member &member_of(const run_state &state, uint32_t index)
{
    return state.installer->archive.members[index];
}

const std::vector<std::string> &folder_parts(const run_state &state, uint32_t index)
{
    static const std::vector<std::string> NONE;
    if (state.options->flat)
        return NONE;
    return state.catalog->folders[member_of(state, index).folder].parts;
}

void fail(pending *p, const run_state &state, const std::string &reason, int exit_code)
{
    p->failure = unpack_member_path(*state.catalog, state.installer, p->member) + ": " + reason;
    p->failure_exit = exit_code;
}

void fail_status(pending *p, const run_state &state, arc_status status)
{
    fail(p, state, arc_status_text(status), arc_status_exit_code(status));
}

std::string write_failure(int os_error)
{
    std::string text = arc_status_text(ARC_ERR_WRITE);
    return os_error != 0 ? text + ": " + unpack_os_error_text(os_error) : text;
}

/* A missing volume is named by its file's name, as the user would look for it. */
void fail_missing_volume(pending *p, const run_state &state, const arc_volume &volume)
{
    const std::string path = volume.path;
    const std::string file = path.substr(arc_file_name_start(path.c_str()));
    std::string reason = "needs " + file;
    if (volume.status == ARC_ERR_OPEN)
        reason += ", which is missing or cannot be opened";
    else if (volume.status == ARC_ERR_NOT_ARCHIVE)
        reason += ", which is not a volume of this set";
    else
        reason += std::string(": ") + arc_status_text(volume.status);
    fail(p, state, reason, arc_status_exit_code(volume.status));
}

/* The path's own checks, made before anything is touched. */
bool check_path(pending *p, const run_state &state)
{
    const std::string &unsafe = state.catalog->unsafe[p->member];
    if (!unsafe.empty()) {
        fail(p, state, "unsafe path (" + unsafe + "), skipped", EXIT_CANNOT_WRITE);
        return false;
    }
    if (!state.conflicts[p->member].empty()) {
        fail(p, state, state.conflicts[p->member] + ", skipped", EXIT_CANNOT_WRITE);
        return false;
    }
    return true;
}

/* The member's folder, made as needed, and what is there already under its name. */
bool prepare_output(pending *p, run_state *state)
{
    const std::vector<std::string> &parts = folder_parts(*state, p->member);
    const uint32_t folder = member_of(*state, p->member).folder;
    const int folder_error = unpack_writer_take_folder(&state->writer, folder, parts, &p->job.dir);
    if (folder_error != 0) {
        fail(p, *state, "its folder could not be made: " + unpack_os_error_text(folder_error),
             EXIT_CANNOT_WRITE);
        p->no_room_error = unpack_os_is_no_room(folder_error) ? folder_error : 0;
        return false;
    }
    p->holds_folder = true;
    unpack_entry_kind kind;
    const std::string &name = state->catalog->names[p->member].name;
    if (const int error = unpack_os_entry_kind(p->job.dir, name, &kind)) {
        fail(p, *state, write_failure(error), EXIT_CANNOT_WRITE);
        return false;
    }
    if (kind != UNPACK_ENTRY_NONE && !state->options->overwrite) {
        fail(p, *state, "exists already, kept (--overwrite replaces it)", EXIT_CANNOT_WRITE);
        return false;
    }
    if (kind == UNPACK_ENTRY_FOLDER) {
        fail(p, *state, "a folder is in the way", EXIT_CANNOT_WRITE);
        return false;
    }
    return true;
}

void prepare(run_state *state, pending *p)
{
    const arc_member &member = member_of(*state, p->member);
    p->job.member = &member;
    const bool writing = !state->options->test;
    if (state->disk_full_error != 0) {
        fail(p, *state, write_failure(state->disk_full_error), EXIT_CANNOT_WRITE);
        return;
    }
    if (writing && !check_path(p, *state))
        return;
    if (const arc_volume *volume = arc_member_missing_volume(state->installer, &member)) {
        fail_missing_volume(p, *state, *volume);
        return;
    }
    if (writing && !prepare_output(p, state))
        return;
    if (writing) {
        p->job.slot = state->free_slots.back();
        state->free_slots.pop_back();
        p->holds_slot = true;
    }
    p->job.details.read_only = (member.attributes & ARC_ATTRIBUTE_READ_ONLY) != 0;
    p->job.details.has_time =
        unpack_dos_time(member.dos_date, member.dos_time, &p->job.details.modified);
    p->submitted = true;
    unpack_pool_submit(&state->pool, &p->job);
}

/* Gives back what @p holds of the folders and the slots; its finished file is removed. */
void release(pending *p, run_state *state)
{
    if (p->submitted && p->job.status == ARC_OK && !p->job.temp_name.empty())
        unpack_os_remove(p->job.dir, p->job.temp_name);
    if (p->holds_slot) {
        unpack_os_withdraw_temp(p->job.slot);
        state->free_slots.push_back(p->job.slot);
    }
    if (p->holds_folder)
        unpack_writer_release_folder(&state->writer, member_of(*state, p->member).folder,
                                     folder_parts(*state, p->member));
    p->holds_slot = p->holds_folder = false;
}

/* The finished file renamed to the member's name. */
void put_in_place(pending *p, run_state *state)
{
    if (state->disk_full_error != 0) {
        fail(p, *state, write_failure(state->disk_full_error), EXIT_CANNOT_WRITE);
        return;
    }
    const std::string &name = state->catalog->names[p->member].name;
    const int error =
        unpack_os_rename(p->job.dir, p->job.temp_name, name, state->options->overwrite);
    if (error == 0)
        p->job.temp_name.clear();
    else if (error == UNPACK_OS_ERR_EXISTS)
        fail(p, *state, "exists already, kept (--overwrite replaces it)", EXIT_CANNOT_WRITE);
    else
        fail(p, *state, write_failure(error), EXIT_CANNOT_WRITE);
}

/* What a worker found, for the member's line. */
void settle(pending *p, run_state *state)
{
    if (p->job.status == ARC_OK && !state->options->test)
        put_in_place(p, state);
    else if (p->job.status == ARC_ERR_WRITE)
        fail(p, *state, write_failure(p->job.os_error), EXIT_CANNOT_WRITE);
    else if (p->job.status != ARC_OK)
        fail_status(p, *state, p->job.status);
}

void finish(pending *p, run_state *state)
{
    if (p->submitted)
        settle(p, state);
    release(p, state);
    ++state->members_done;
    if (!p->failure.empty()) {
        unpack_console_line(state->console, p->failure);
        ++state->failures;
        if (state->exit_code == 0)
            state->exit_code = p->failure_exit;
        return;
    }
    const uint32_t size = member_of(*state, p->member).unpacked_size;
    ++state->members_ok;
    state->bytes_ok += size;
    if (state->options->verbose)
        unpack_console_line(state->console,
                            std::string(state->options->test ? "tested " : "extracted ") +
                                unpack_member_path(*state->catalog, state->installer, p->member) +
                                ", " + std::to_string(size) + " bytes");
}

/* The error when @p failed for want of room, or 0. */
int no_room_error(const pending &p)
{
    if (p.no_room_error != 0)
        return p.no_room_error;
    const bool no_room =
        p.submitted && p.job.status == ARC_ERR_WRITE && unpack_os_is_no_room(p.job.os_error);
    return no_room ? p.job.os_error : 0;
}

void show_progress(run_state *state)
{
    const unpack_progress progress = {state->members_done, state->catalog->selected.size(),
                                      state->pool.bytes_out.load(), state->bytes_total};
    unpack_console_progress(state->console, progress);
}

bool is_done(run_state *state, const pending &p)
{
    return !p.submitted || unpack_pool_done(&state->pool, &p.job);
}

/*
 * The front member of @window failed for want of room: every later one is
 * undone and taken again from the start, *@next put back to it, and the
 * front one is tried again alone. Its second outcome stands.
 */
void retry_alone(run_state *state, std::deque<pending> *window, size_t *next)
{
    unpack_pool_drain(&state->pool);
    while (window->size() > 1) {
        release(&window->back(), state);
        window->pop_back();
        --*next;
    }
    pending *front = &window->front();
    const uint32_t member = front->member;
    release(front, state);
    unpack_writer_forget_failure(&state->writer, member_of(*state, member).folder);
    *front = pending();
    front->member = member;
    front->retried = true;
    prepare(state, front);
    while (!is_done(state, *front))
        unpack_pool_wait(&state->pool, &front->job, 0, std::chrono::milliseconds(100));
    if (const int error = no_room_error(*front))
        state->disk_full_error = error;
}

void run_members(run_state *state)
{
    const std::vector<uint32_t> &selected = state->catalog->selected;
    /* The same for every number of workers, so that the folders made ahead are too. */
    const size_t most_pending = UNPACK_OS_TEMP_SLOTS;
    std::deque<pending> window;
    size_t next = 0;
    while (next < selected.size() || !window.empty()) {
        while (next < selected.size() && window.size() < most_pending) {
            window.emplace_back();
            window.back().member = selected[next++];
            prepare(state, &window.back());
        }
        while (!window.empty() && is_done(state, window.front())) {
            if (!state->options->test && !window.front().retried &&
                no_room_error(window.front()) != 0) {
                retry_alone(state, &window, &next);
                continue;
            }
            finish(&window.front(), state);
            window.pop_front();
        }
        show_progress(state);
        if (window.empty() || (window.size() < most_pending && next < selected.size()))
            continue;
        /* Tell outcomes and queue more in batches, while the workers still have some queued. */
        unpack_pool_wait(&state->pool, &window.front().job, state->workers,
                         std::chrono::milliseconds(100));
    }
}

unsigned worker_count(const unpack_options &options, size_t members)
{
    unsigned workers = options.jobs;
    if (workers == 0)
        workers =
            std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), UNPACK_MAX_JOBS));
    return static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(workers, members)));
}

void print_summary(const run_state &state)
{
    char tail[64];
    std::snprintf(tail, sizeof(tail), ", %.2f s", unpack_console_seconds(state.console));
    std::string line = (state.options->test ? "tested " : "extracted ") +
                       unpack_count(state.members_ok, "member") + ", " +
                       std::to_string(state.bytes_ok) + " bytes";
    if (!state.options->test)
        line += ", " + unpack_count(state.writer.folders_made, "new folder");
    line += ", " + unpack_count(state.failures, "failure") + tail;
    unpack_console_line(state.console, line);
}

} // namespace

int unpack_run(arc_installer *installer, const unpack_catalog &catalog,
               const unpack_options &options, const std::string &directory, unpack_console *console)
{
    run_state state;
    state.installer = installer;
    state.catalog = &catalog;
    state.options = &options;
    state.console = console;
    state.workers = worker_count(options, catalog.selected.size());
    state.disk_full_error = 0;
    state.members_done = state.members_ok = state.bytes_ok = state.bytes_total = 0;
    state.failures = 0;
    state.exit_code = 0;
    state.writer = unpack_writer();
    for (const uint32_t i : catalog.selected)
        state.bytes_total += installer->archive.members[i].unpacked_size;
    for (unsigned slot = UNPACK_OS_TEMP_SLOTS; slot > 0; --slot)
        state.free_slots.push_back(slot - 1);

    if (!options.test && !catalog.selected.empty()) {
        state.conflicts = unpack_find_conflicts(installer, catalog, options.flat);
        unpack_os_install_interrupt_cleanup();
        const int error = unpack_writer_open(&state.writer, directory, installer->folder_count);
        if (error != 0) {
            unpack_console_line(console, directory + ": the output folder could not be made: " +
                                             unpack_os_error_text(error));
            unpack_writer_close(&state.writer);
            return EXIT_CANNOT_WRITE;
        }
    }
    if (!unpack_pool_start(&state.pool, installer, state.workers)) {
        unpack_console_line(console, "varlix-unpack: the worker threads could not be started");
        unpack_writer_close(&state.writer);
        return arc_status_exit_code(ARC_ERR_NO_MEMORY);
    }
    run_members(&state);
    unpack_pool_stop(&state.pool);
    unpack_writer_close(&state.writer);
    unpack_console_clear(console);
    if (!options.quiet)
        print_summary(state);
    return state.exit_code;
}
