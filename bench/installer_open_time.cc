/*
 * installer_open_time - the median wall time of arc_open_installer() and
 * arc_close_installer() on one archive or volume, in microseconds, and the
 * number of members it holds.
 *
 * Usage: installer_open_time <path> [runs]   (default 11 runs)
 */
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "archive/archive.h"

int main(int argc, char *argv[])
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: installer_open_time <path> [runs]\n", stderr);
        return 2;
    }
    const int runs = argc == 3 ? std::atoi(argv[2]) : 11;
    std::vector<double> micros;
    uint32_t members = 0;
    for (int i = 0; i < std::max(runs, 1); ++i) {
        const auto start = std::chrono::steady_clock::now();
        arc_installer installer;
        const arc_status status = arc_open_installer(argv[1], &installer);
        members = installer.archive.member_count;
        arc_close_installer(&installer);
        const auto end = std::chrono::steady_clock::now();
        if (status != ARC_OK) {
            std::fprintf(stderr, "%s: %s\n", argv[1], arc_status_text(status));
            return 1;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    std::printf("%.0f %u\n", micros[micros.size() / 2], static_cast<unsigned>(members));
    return 0;
}
