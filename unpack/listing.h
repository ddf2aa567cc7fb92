/*
 * listing.h - the selected members as a table for people, or as one JSON
 * document for scripts, on standard output.
 */
#ifndef VARLIX_UNPACK_LISTING_H
#define VARLIX_UNPACK_LISTING_H

#include <string>

#include "archive/archive.h"
#include "unpack/codepage.h"
#include "unpack/plan.h"

/*
 * unpack_print_table() - a heading, one aligned line per selected member
 * (local date and time, attributes RHSA, expanded and compressed size, the
 * volume or volumes, the path) and a summary line.
 */
void unpack_print_table(const arc_installer *installer, const unpack_catalog &catalog);

/*
 * unpack_json_document() - the JSON document describing @installer (opened
 * from @archive_path) and its selected members, in UTF-8 with names taken
 * through @converter (@code_page) and also given as hex bytes.
 */
std::string unpack_json_document(const arc_installer *installer, const unpack_catalog &catalog,
                                 const std::string &archive_path, unpack_converter *converter,
                                 const std::string &code_page);

/* unpack_json_string() - @text as a JSON string: quoted, escaped, invalid UTF-8 as U+FFFD. */
std::string unpack_json_string(const std::string &text);

#endif
