/*
 * installer_support.h - reading whole installers in tests: a member decoded
 * into memory through the library's two halves, and where the real archives
 * would be.
 */
#ifndef VARLIX_TESTS_SUPPORT_INSTALLER_SUPPORT_H
#define VARLIX_TESTS_SUPPORT_INSTALLER_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"

struct member_bytes {
    arc_status status; /* of reading, or else of decoding */
    std::vector<uint8_t> bytes;
};

/* arc_read_member_data() then arc_decode_member() into memory. */
member_bytes read_and_decode(const arc_installer &installer, const arc_member &member);

/* The path of @name under ../shared/realdata/ beside the source tree, or under VARLIX_REALDATA_DIR.
 */
std::string realdata_path(const std::string &name);

/* The members' names in directory order. */
std::vector<std::string> member_names(const arc_installer &installer);

#endif
