#include <cstdio>

#include "archive/archive.h"
#include "cli/cli.h"
#include "cli/report.h"
#include "cli/status.h"

int cli_extract(const char *archive_path, const char *member_name, const char *output_path)
{
    arc_archive archive;
    int exit_code = 0;
    if (!cli_open_archive(archive_path, &archive, &exit_code))
        return exit_code;

    const arc_member *member = arc_find_member(&archive, member_name);
    if (member == nullptr) {
        report("%s: no member called \"%s\" (the archive holds %zu)", archive_path, member_name,
               static_cast<size_t>(archive.member_count));
        arc_close(&archive);
        return arc_status_exit_code(ARC_ERR_NO_MEMBER);
    }

    report("extracting %s: %u compressed bytes at offset %u, expecting %u bytes out", member->name,
           static_cast<unsigned>(member->packed_size), static_cast<unsigned>(member->offset),
           static_cast<unsigned>(member->unpacked_size));
    /* The member table goes with the archive, which is closed before the outcome is told. */
    const uint32_t expected_size = member->unpacked_size;
    const arc_status status =
        arc_extract_member_sparing(&archive, member, output_path, &g_log_file, 1);
    arc_close(&archive);

    if (status != ARC_OK) {
        report("%s: %s", output_path, arc_status_text(status));
        return arc_status_exit_code(status);
    }
    report("wrote %s, %u bytes, length verified against the archive directory", output_path,
           static_cast<unsigned>(expected_size));
    return 0;
}
