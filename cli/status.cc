#include "cli/status.h"

namespace {

struct status_entry {
    const char *text;
    int exit_code;
};

const status_entry STATUS_TABLE[] = {
    {"ok", 0},
    {"the archive could not be opened", 2},
    {"the archive could not be read to the end of a member", 9},
    {"this file is not an InstallShield 3 archive", 3},
    {"the member directory does not parse", 4},
    {"the archive does not contain that member", 5},
    {"a member claims data outside the archive", 4},
    {"out of memory", 9},
    {"the compressed stream is damaged", 6},
    {"the output file could not be written", 7},
    {"the extracted size is not the size the archive records", 8},
};

const status_entry UNKNOWN_STATUS = {"unknown error", 9};

const status_entry &status_lookup(int status)
{
    const int table_size = static_cast<int>(sizeof(STATUS_TABLE) / sizeof(STATUS_TABLE[0]));
    if (status < 0 || status >= table_size)
        return UNKNOWN_STATUS;
    return STATUS_TABLE[status];
}

} // namespace

const char *arc_status_text(int status)
{
    return status_lookup(status).text;
}

int arc_status_exit_code(int status)
{
    return status_lookup(status).exit_code;
}
