/*
 * plan.h - what an installer's members become before anything is read: their
 * names and paths, which of them the patterns select, which would collide on
 * disk, their times, and the default output folder.
 */
#ifndef VARLIX_UNPACK_PLAN_H
#define VARLIX_UNPACK_PLAN_H

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "unpack/names.h"

struct unpack_catalog {
    std::vector<unpack_folder_name> folders; /* one per installer folder */
    std::vector<unpack_member_name> names;   /* one per member, in directory order */
    std::vector<std::string> unsafe;         /* why a member's path is unsafe, or empty */
    std::vector<uint32_t> selected;          /* the selected members, in directory order */
    std::vector<bool> pattern_matched;       /* one per pattern: it selected a member */
};

/*
 * unpack_build_catalog() - name every member of @installer (opened with
 * ARC_OK) through @converter, check its path (the folder's and its own name;
 * with @flat its name alone) and select those that one of @patterns matches,
 * by path or by name; every member when there is no pattern. A path is
 * unsafe for the folder's reason, else the name's, else when it is too long.
 */
void unpack_build_catalog(const arc_installer *installer, unpack_converter *converter,
                          const std::string &code_page, bool flat,
                          const std::vector<std::string> &patterns, unpack_catalog *catalog);

/*
 * unpack_member_path() - @member's folder and name as shown, joined by '/'.
 * Made when asked: a deep folder's path is not kept once per member.
 */
std::string unpack_member_path(const unpack_catalog &catalog, const arc_installer *installer,
                               uint32_t member);

/*
 * unpack_find_conflicts() - for each member of @installer (named in @catalog
 * with the same @flat), why it cannot be written where
 * its path says, or empty: a selected member with a safe path whose path,
 * compared without regard to ASCII case, is that of an earlier selected member
 * ("same path as ...") or of a folder another one needs. One entry per member.
 */
std::vector<std::string> unpack_find_conflicts(const arc_installer *installer,
                                               const unpack_catalog &catalog, bool flat);

/*
 * unpack_default_directory() - the output folder when none is given: the
 * archive's file name less its last extension ("DATA" for "dir/DATA.Z"), or
 * the name with ".d" added when that would leave nothing or the name itself;
 * "unpacked" when that is not a plain name (empty, ".", ".." or one the
 * platform cannot hold).
 */
std::string unpack_default_directory(const std::string &archive_path);

/*
 * unpack_dos_time() - the MS-DOS local date and time @date and @time as
 * seconds since 1970-01-01 00:00 UTC, by the local time zone's rules. Returns
 * false, leaving *@seconds alone, when they are not a real date and time.
 */
bool unpack_dos_time(uint16_t date, uint16_t time, int64_t *seconds);

/* unpack_dos_time_valid() - whether @date and @time name a real date and time of day. */
bool unpack_dos_time_valid(uint16_t date, uint16_t time);

#endif
