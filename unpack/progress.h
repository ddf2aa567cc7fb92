/*
 * progress.h - standard error as varlix-unpack uses it: message lines, and a
 * progress line redrawn in place on a terminal, cleared before each message
 * so that the messages read as if it had never been there.
 */
#ifndef VARLIX_UNPACK_PROGRESS_H
#define VARLIX_UNPACK_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

struct unpack_console {
    bool progress_on;   /* standard error is a terminal and --quiet was not given */
    size_t drawn_width; /* characters of the progress line now shown; 0 when none */
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point last_drawn;
};

/* What the progress line tells. */
struct unpack_progress {
    uint64_t members_done, members_total;
    uint64_t bytes_done, bytes_total;
};

/* unpack_console_start() - a console whose clock starts now. */
unpack_console unpack_console_start(bool progress_on);

/* unpack_console_line() - clear the progress line, then write @line and a newline to stderr. */
void unpack_console_line(unpack_console *console, const std::string &line);

/*
 * unpack_console_progress() - redraw the progress line from @progress, at most
 * ten times a second. Nothing when progress is off.
 */
void unpack_console_progress(unpack_console *console, const unpack_progress &progress);

/* unpack_console_clear() - remove the progress line, if one is shown. */
void unpack_console_clear(unpack_console *console);

/* unpack_console_seconds() - seconds since the console started. */
double unpack_console_seconds(const unpack_console *console);

/* unpack_count() - "1 member", "2 members": @count and @noun, with an s unless @count is 1. */
std::string unpack_count(uint64_t count, const char *noun);

/* unpack_progress_text() - the progress line for @progress after @seconds. */
std::string unpack_progress_text(const unpack_progress &progress, double seconds);

#endif
