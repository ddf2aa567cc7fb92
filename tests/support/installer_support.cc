#include "tests/support/installer_support.h"

#include <cstdlib>

#include "tools/recording_sink.h"

member_bytes read_and_decode(const arc_installer &installer, const arc_member &member)
{
    /* As a program should: the claim is checked before memory is taken for it. */
    arc_piece pieces[ARC_MAX_VOLUMES];
    uint32_t piece_count = 0;
    member_bytes out = {arc_member_pieces(&installer, &member, pieces, &piece_count), {}};
    if (out.status != ARC_OK)
        return out;
    std::vector<uint8_t> packed(member.packed_size + size_t{1});
    out.status = arc_read_member_data(&installer, &member, packed.data());
    if (out.status != ARC_OK)
        return out;
    recording_sink sink;
    out.status = arc_decode_member(packed.data(), &member, recording_sink_take, &sink);
    out.bytes = std::move(sink.bytes);
    return out;
}

std::string realdata_path(const std::string &name)
{
    if (const char *given = std::getenv("VARLIX_REALDATA_DIR"))
        return std::string(given) + "/" + name;
    const char *source = std::getenv("VARLIX_SOURCE_DIR");
    return std::string(source != nullptr ? source : ".") + "/../shared/realdata/" + name;
}

std::vector<std::string> member_names(const arc_installer &installer)
{
    std::vector<std::string> names;
    for (uint32_t i = 0; i < installer.archive.member_count; ++i)
        names.push_back(installer.archive.members[i].name);
    return names;
}
