#include "unpack/progress.h"

#include <cstdio>

namespace {

using clock_type = std::chrono::steady_clock;

const auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

double mebibytes(uint64_t bytes)
{
    return static_cast<double>(bytes) / 1048576.0;
}

} // namespace

unpack_console unpack_console_start(bool progress_on)
{
    const clock_type::time_point now = clock_type::now();
    return {progress_on, 0, now, now - REDRAW_INTERVAL};
}

void unpack_console_clear(unpack_console *console)
{
    if (console->drawn_width == 0)
        return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(console->drawn_width), "");
    console->drawn_width = 0;
}

void unpack_console_line(unpack_console *console, const std::string &line)
{
    unpack_console_clear(console);
    std::fprintf(stderr, "%s\n", line.c_str());
}

double unpack_console_seconds(const unpack_console *console)
{
    return std::chrono::duration<double>(clock_type::now() - console->started).count();
}

std::string unpack_count(uint64_t count, const char *noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string unpack_progress_text(const unpack_progress &progress, double seconds)
{
    const double rate = seconds > 0 ? static_cast<double>(progress.bytes_done) / seconds : 0;
    char text[160];
    int length = std::snprintf(text, sizeof(text), "%llu/%llu members, %.1f/%.1f MiB",
                               static_cast<unsigned long long>(progress.members_done),
                               static_cast<unsigned long long>(progress.members_total),
                               mebibytes(progress.bytes_done), mebibytes(progress.bytes_total));
    if (rate > 0 && progress.bytes_done <= progress.bytes_total) {
        const double left = static_cast<double>(progress.bytes_total - progress.bytes_done) / rate;
        const unsigned long whole = static_cast<unsigned long>(left + 0.5);
        std::snprintf(text + length, sizeof(text) - static_cast<size_t>(length),
                      ", %.1f MiB/s, %lu:%02lu left", rate / 1048576.0, whole / 60, whole % 60);
    }
    return text;
}

void unpack_console_progress(unpack_console *console, const unpack_progress &progress)
{
    if (!console->progress_on)
        return;
    const clock_type::time_point now = clock_type::now();
    if (now - console->last_drawn < REDRAW_INTERVAL)
        return;
    console->last_drawn = now;
    const std::string text = unpack_progress_text(progress, unpack_console_seconds(console));
    /* Padding over a longer previous line, then back to the line's start. */
    const int pad = console->drawn_width > text.size()
                        ? static_cast<int>(console->drawn_width - text.size())
                        : 0;
    std::fprintf(stderr, "\r%s%*s", text.c_str(), pad, "");
    std::fflush(stderr);
    console->drawn_width = text.size() + static_cast<size_t>(pad);
}
