#include <cstdio>

#include "archive/archive.h"
#include "cli/cli.h"

namespace {

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

int cli_list(const char *archive_path)
{
    arc_archive archive;
    int exit_code = 0;
    if (!cli_open_archive(archive_path, &archive, &exit_code))
        return exit_code;
    print_listing(&archive, archive_path);
    arc_close(&archive);
    return 0;
}
