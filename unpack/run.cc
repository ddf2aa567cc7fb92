/*
 * run.cc - the main thread's loop: take the selected members in order,
 * installer after installer, prepare each (check its path, make its folder,
 * see that its name is free) and queue it for the workers, which read,
 * decode and write it; tell the outcomes in the same order, renaming each
 * finished file into place.
 *
 * Memory stays bounded by the number of workers: each reads one member's
 * compressed bytes at a time. The temporary files stay bounded by the
 * clean-up table: no more members are pending than it has slots. The open
 * files stay bounded too: at most a few installers are open at once, the
 * next one opened when the members before it are under way, so that the
 * workers go from one installer to the next without a pause. Folders are
 * made by this thread in order, the same number of members ahead whatever
 * the number of workers, and every selected member has a path of its own
 * (the plan turned collisions into failures), so the messages, the files
 * and the exit code are the same for any number of workers, whichever
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

/* The same for every number of workers, so that the folders made ahead are too. */
const size_t MOST_PENDING = UNPACK_OS_TEMP_SLOTS;
const size_t MOST_OPEN_TARGETS = 4;

/* An installer under way. */
struct open_target {
    unpack_target target;
    std::vector<std::string> conflicts;
    unpack_writer writer;
    bool writer_open;
    size_t prepared; /* items taken into the window so far */
    size_t finished; /* items told */
};

/* A failed installer is one item, its failure line; else each selected member is one. */
size_t items_of(const open_target &open)
{
    return open.target.failure.empty() ? open.target.catalog.selected.size() : 1;
}

/* One item on its way through. */
struct pending {
    open_target *owner;
    uint32_t member;     /* in the owner's installer; unused for a failed installer */
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
    unpack_targets targets;
    bool targets_left;
    const unpack_options *options;
    unpack_console *console;
    std::deque<open_target> open; /* in order; the front one's items are told first */
    unpack_pool pool;
    unsigned workers;
    std::vector<unsigned> free_slots;
    int disk_full_error; /* once a member failed for want of room twice: its error */
    uint64_t members_done, members_selected, bytes_total;
    unpack_totals *totals;
};

const arc_member &member_of(const pending &p)
{
    return p.owner->target.installer.archive.members[p.member];
}

const std::vector<std::string> &folder_parts(const run_state &state, const pending &p)
{
    static const std::vector<std::string> NONE;
    if (state.options->flat)
        return NONE;
    return p.owner->target.catalog.folders[member_of(p).folder].parts;
}

void fail(pending *p, const std::string &reason, int exit_code)
{
    p->failure = unpack_shown_path(p->owner->target, p->member) + ": " + reason;
    p->failure_exit = exit_code;
}

std::string write_failure(int os_error)
{
    std::string text = arc_status_text(ARC_ERR_WRITE);
    return os_error != 0 ? text + ": " + unpack_os_error_text(os_error) : text;
}

/* A missing volume is named by its file's name, as the user would look for it. */
std::string missing_volume_reason(const arc_volume &volume)
{
    const std::string path = volume.path;
    const std::string reason = "needs " + path.substr(arc_file_name_start(path.c_str()));
    if (volume.status == ARC_ERR_OPEN)
        return reason + ", which is missing or cannot be opened";
    if (volume.status == ARC_ERR_NOT_ARCHIVE)
        return reason + ", which is not a volume of this set";
    return reason + ": " + arc_status_text(volume.status);
}

/* The path's own checks, made before anything is touched. */
bool check_path(pending *p)
{
    const std::string &unsafe = p->owner->target.catalog.unsafe[p->member];
    if (!unsafe.empty()) {
        fail(p, "unsafe path (" + unsafe + "), skipped", EXIT_CANNOT_WRITE);
        return false;
    }
    const std::string &conflict = p->owner->conflicts[p->member];
    if (!conflict.empty()) {
        fail(p, conflict + ", skipped", EXIT_CANNOT_WRITE);
        return false;
    }
    return true;
}

/* The member's folder, made as needed, and what is there already under its name. */
bool prepare_output(pending *p, run_state *state)
{
    unpack_writer *writer = &p->owner->writer;
    const uint32_t folder = member_of(*p).folder;
    bool folder_is_new = false;
    const int folder_error = unpack_writer_take_folder(writer, folder, folder_parts(*state, *p),
                                                       &p->job.dir, &folder_is_new);
    if (folder_error != 0) {
        fail(p, "its folder could not be made: " + unpack_os_error_text(folder_error),
             EXIT_CANNOT_WRITE);
        p->no_room_error = unpack_os_is_no_room(folder_error) ? folder_error : 0;
        return false;
    }
    p->holds_folder = true;
    /* In a folder this run made, nothing was there before; the rename still checks. */
    if (folder_is_new)
        return true;
    unpack_entry_kind kind;
    const std::string &name = p->owner->target.catalog.names[p->member].name;
    if (const int error = unpack_os_entry_kind(p->job.dir, name, &kind)) {
        fail(p, write_failure(error), EXIT_CANNOT_WRITE);
        return false;
    }
    if (kind != UNPACK_ENTRY_NONE && !state->options->overwrite) {
        fail(p, "exists already, kept (--overwrite replaces it)", EXIT_CANNOT_WRITE);
        return false;
    }
    if (kind == UNPACK_ENTRY_FOLDER) {
        fail(p, "a folder is in the way", EXIT_CANNOT_WRITE);
        return false;
    }
    return true;
}

/*
 * The output folder of @p's installer, made when its first member needs it.
 * When it cannot be, the installer fails as one that did not open, in the
 * first member's place, and nothing more of it is taken.
 */
bool open_writer(pending *p)
{
    open_target *owner = p->owner;
    if (owner->writer_open)
        return true;
    owner->writer_open = true;
    const int error = unpack_writer_open(&owner->writer, owner->target.directory,
                                         owner->target.installer.folder_count);
    if (error == 0)
        return true;
    owner->target.failure = owner->target.directory +
                            ": the output folder could not be made: " + unpack_os_error_text(error);
    owner->target.failure_exit = EXIT_CANNOT_WRITE;
    p->failure = owner->target.failure;
    p->failure_exit = owner->target.failure_exit;
    return false;
}

void prepare(run_state *state, pending *p)
{
    const unpack_target &target = p->owner->target;
    if (!target.failure.empty()) {
        p->failure = target.failure;
        p->failure_exit = target.failure_exit;
        return;
    }
    const arc_member &member = member_of(*p);
    p->job.member = &member;
    p->job.installer = &target.installer;
    const bool writing = !state->options->test;
    if (state->disk_full_error != 0) {
        fail(p, write_failure(state->disk_full_error), EXIT_CANNOT_WRITE);
        return;
    }
    if (writing && !check_path(p))
        return;
    if (const arc_volume *volume = arc_member_missing_volume(&target.installer, &member)) {
        fail(p, missing_volume_reason(*volume), arc_status_exit_code(volume->status));
        return;
    }
    if (writing && (!open_writer(p) || !prepare_output(p, state)))
        return;
    if (writing) {
        p->job.slot = state->free_slots.back();
        state->free_slots.pop_back();
        p->holds_slot = true;
    }
    p->job.details.read_only = (member.attributes & ARC_ATTRIBUTE_READ_ONLY) != 0;
    p->job.details.has_time =
        arc_member_stored_as(&target.installer, &member) == nullptr &&
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
        unpack_writer_release_folder(&p->owner->writer, member_of(*p).folder,
                                     folder_parts(*state, *p));
    p->holds_slot = p->holds_folder = false;
}

/* The finished file renamed to the member's name. */
void put_in_place(pending *p, run_state *state)
{
    if (state->disk_full_error != 0) {
        fail(p, write_failure(state->disk_full_error), EXIT_CANNOT_WRITE);
        return;
    }
    const std::string &name = p->owner->target.catalog.names[p->member].name;
    const int error =
        unpack_os_rename(p->job.dir, p->job.temp_name, name, state->options->overwrite);
    if (error == 0)
        p->job.temp_name.clear();
    else if (error == UNPACK_OS_ERR_EXISTS)
        fail(p, "exists already, kept (--overwrite replaces it)", EXIT_CANNOT_WRITE);
    else
        fail(p, write_failure(error), EXIT_CANNOT_WRITE);
}

/* What a worker found, for the member's line. */
void settle(pending *p, run_state *state)
{
    if (p->job.status == ARC_OK && !state->options->test)
        put_in_place(p, state);
    else if (p->job.status == ARC_ERR_WRITE)
        fail(p, write_failure(p->job.os_error), EXIT_CANNOT_WRITE);
    else if (p->job.status != ARC_OK)
        fail(p, arc_status_text(p->job.status), arc_status_exit_code(p->job.status));
}

void tell_failure(run_state *state, const std::string &line, int exit_code)
{
    unpack_console_line(state->console, line);
    ++state->totals->failures;
    if (state->totals->exit_code == 0)
        state->totals->exit_code = exit_code;
}

void finish(pending *p, run_state *state)
{
    if (p->submitted)
        settle(p, state);
    release(p, state);
    ++p->owner->finished;
    if (!p->owner->target.failure.empty()) {
        tell_failure(state, p->failure, p->failure_exit);
        return;
    }
    ++state->members_done;
    if (!p->failure.empty()) {
        tell_failure(state, p->failure, p->failure_exit);
        return;
    }
    const uint32_t size = member_of(*p).unpacked_size;
    ++state->totals->members_ok;
    state->totals->bytes_ok += size;
    if (state->options->verbose)
        unpack_console_line(state->console,
                            std::string(state->options->test ? "tested " : "extracted ") +
                                unpack_shown_path(p->owner->target, p->member) + ", " +
                                std::to_string(size) + " bytes");
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

bool is_done(run_state *state, const pending &p)
{
    return !p.submitted || unpack_pool_done(&state->pool, &p.job);
}

/* Takes the next installer in, or returns false when there are no more. */
bool open_next(run_state *state)
{
    if (!state->targets_left)
        return false;
    state->open.emplace_back();
    open_target &open = state->open.back();
    open.target.installer = arc_installer();
    state->targets_left = state->targets.next(state->targets.context, &open.target);
    if (!state->targets_left) {
        state->open.pop_back();
        return false;
    }
    open.writer = unpack_writer();
    open.writer_open = false;
    open.prepared = open.finished = 0;
    const unpack_catalog &catalog = open.target.catalog;
    if (open.target.failure.empty()) {
        if (!state->options->test)
            open.conflicts =
                unpack_find_conflicts(&open.target.installer, catalog, state->options->flat);
        for (const uint32_t i : catalog.selected)
            state->bytes_total += open.target.installer.archive.members[i].unpacked_size;
        state->members_selected += catalog.selected.size();
        for (size_t i = 0; i < catalog.pattern_matched.size(); ++i) {
            if (catalog.pattern_matched[i])
                state->totals->pattern_matched[i] = true;
        }
    }
    return true;
}

/* Closes the installers at the front whose items are all told. */
void close_finished(run_state *state)
{
    while (!state->open.empty() && state->open.front().finished == items_of(state->open.front())) {
        open_target &done = state->open.front();
        state->totals->folders_made += done.writer.folders_made;
        unpack_writer_close(&done.writer);
        arc_close_installer(&done.target.installer);
        state->open.pop_front();
    }
}

/* The first installer under way with items not yet taken, opening the next as needed. */
open_target *next_to_prepare(run_state *state)
{
    for (;;) {
        for (open_target &open : state->open) {
            if (open.prepared < items_of(open))
                return &open;
        }
        if (state->open.size() >= MOST_OPEN_TARGETS || !open_next(state))
            return nullptr;
        close_finished(state); /* one without items is done at once */
    }
}

/* Takes items in until the window is full; returns false when none was left to take. */
bool fill_window(run_state *state, std::deque<pending> *window)
{
    while (window->size() < MOST_PENDING) {
        open_target *owner = next_to_prepare(state);
        if (owner == nullptr)
            return false;
        window->emplace_back();
        pending *p = &window->back();
        p->owner = owner;
        const size_t item = owner->prepared++;
        p->member = owner->target.failure.empty() ? owner->target.catalog.selected[item] : 0;
        prepare(state, p);
    }
    return true;
}

/*
 * The front item of @window failed for want of room: every later one is
 * undone and taken again from the start, and the front one is tried again
 * alone. Its second outcome stands.
 */
void retry_alone(run_state *state, std::deque<pending> *window)
{
    unpack_pool_drain(&state->pool);
    while (window->size() > 1) {
        release(&window->back(), state);
        --window->back().owner->prepared;
        window->pop_back();
    }
    pending *front = &window->front();
    open_target *owner = front->owner;
    const uint32_t member = front->member;
    release(front, state);
    unpack_writer_forget_failure(&owner->writer, member_of(*front).folder);
    *front = pending();
    front->owner = owner;
    front->member = member;
    front->retried = true;
    prepare(state, front);
    while (!is_done(state, *front))
        unpack_pool_wait(&state->pool, &front->job, 0, std::chrono::milliseconds(100));
    if (const int error = no_room_error(*front))
        state->disk_full_error = error;
}

void show_progress(run_state *state)
{
    const unpack_progress progress = {state->members_done, state->members_selected,
                                      state->pool.bytes_out.load(), state->bytes_total};
    unpack_console_progress(state->console, progress);
}

void run_items(run_state *state)
{
    std::deque<pending> window;
    for (;;) {
        const bool full = fill_window(state, &window);
        if (window.empty())
            return;
        while (!window.empty() && is_done(state, window.front())) {
            if (!state->options->test && !window.front().retried &&
                no_room_error(window.front()) != 0) {
                retry_alone(state, &window);
                continue;
            }
            finish(&window.front(), state);
            window.pop_front();
            close_finished(state);
        }
        show_progress(state);
        /* Room was made, and there is more to take: take it before waiting. */
        if (window.empty() || (full && window.size() < MOST_PENDING))
            continue;
        /* Tell outcomes and queue more in batches, while the workers still have some queued. */
        unpack_pool_wait(&state->pool, &window.front().job, state->workers,
                         std::chrono::milliseconds(100));
    }
}

unsigned worker_count(const unpack_options &options)
{
    if (options.jobs != 0)
        return options.jobs;
    return std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(), UNPACK_MAX_JOBS));
}

/*
 * One member to standard output: its claim checked, its bytes read into
 * *@packed (grown as needed) and decoded, no byte past its recorded size.
 * Returns the failure's reason, or "" when it came out whole.
 */
std::string member_to_stdout(const unpack_target &target, const arc_member &member,
                             std::vector<uint8_t> *packed, arc_buffered_sink *sink,
                             unpack_file_output *output, int *exit_code)
{
    if (const arc_volume *volume = arc_member_missing_volume(&target.installer, &member)) {
        *exit_code = arc_status_exit_code(volume->status);
        return missing_volume_reason(*volume);
    }
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    arc_status status = arc_member_pieces(&target.installer, &member, pieces, &piece_count);
    if (status == ARC_OK) {
        packed->resize(std::max<size_t>(member.packed_size, 1));
        status = arc_read_member_data(&target.installer, &member, packed->data());
    }
    if (status == ARC_OK) {
        sink->room = member.unpacked_size;
        status = arc_decode_member(packed->data(), &member, arc_buffered_sink_take, sink);
        if (!arc_buffered_sink_flush(sink))
            status = ARC_ERR_WRITE;
    }
    *exit_code = arc_status_exit_code(status);
    if (status == ARC_ERR_WRITE)
        return write_failure(output->error);
    return status == ARC_OK ? "" : arc_status_text(status);
}

} // namespace

int unpack_write_to_stdout(unpack_target *target, const unpack_options &options,
                           unpack_console *console)
{
    unpack_file_output output = {unpack_os_standard_output(), 0};
    std::vector<uint8_t> gathered(UNPACK_WRITE_PIECE_SIZE), packed;
    arc_buffered_sink sink = {gathered.data(),         gathered.size(), 0, 0,
                              unpack_file_output_take, &output};
    for (const uint32_t i : target->catalog.selected) {
        const arc_member &member = target->installer.archive.members[i];
        int exit_code = 0;
        const std::string failure =
            member_to_stdout(*target, member, &packed, &sink, &output, &exit_code);
        if (!failure.empty()) {
            unpack_console_line(console, unpack_shown_path(*target, i) + ": " + failure);
            return exit_code;
        }
        if (options.verbose)
            unpack_console_line(console, "extracted " + unpack_shown_path(*target, i) + ", " +
                                             std::to_string(member.unpacked_size) + " bytes");
    }
    return 0;
}

std::string unpack_shown_path(const unpack_target &target, uint32_t member)
{
    const std::string path = unpack_member_path(target.catalog, &target.installer, member);
    return target.label.empty() ? path : target.label + "/" + path;
}

void unpack_run(const unpack_targets &targets, const unpack_options &options,
                unpack_console *console, unpack_totals *totals)
{
    *totals = unpack_totals();
    totals->pattern_matched.assign(options.patterns.size(), false);
    run_state state;
    state.targets = targets;
    state.targets_left = true;
    state.options = &options;
    state.console = console;
    state.workers = worker_count(options);
    state.disk_full_error = 0;
    state.members_done = state.members_selected = state.bytes_total = 0;
    state.totals = totals;
    for (unsigned slot = UNPACK_OS_TEMP_SLOTS; slot > 0; --slot)
        state.free_slots.push_back(slot - 1);
    if (!options.test)
        unpack_os_install_interrupt_cleanup();
    if (!unpack_pool_start(&state.pool, state.workers)) {
        unpack_console_line(console, "varlix-unpack: the worker threads could not be started");
        totals->exit_code = arc_status_exit_code(ARC_ERR_NO_MEMORY);
        return;
    }
    run_items(&state);
    unpack_pool_stop(&state.pool);
    unpack_console_clear(console);
}
