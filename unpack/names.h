/*
 * names.h - what an installer's folder and member names become: UTF-8 text
 * converted from the installer's code page, the parts of a relative path that
 * is safe to create, the text shown in messages, and the shell patterns that
 * select members.
 *
 * A folder name holds parts separated by '\'; a member's name is one part.
 * A path is safe when it stays inside the output folder and the platform can
 * hold each part: it is not absolute and has no drive letter, and no part is
 * empty, "." or "..", holds NUL, '/' or a character the platform refuses, or
 * has the form of the program's temporary files; and it is not too long
 * (UNPACK_MAX_PATH_BYTES, UNPACK_MAX_PATH_PARTS).
 */
#ifndef VARLIX_UNPACK_NAMES_H
#define VARLIX_UNPACK_NAMES_H

#include <cstddef>
#include <string>
#include <vector>

#include "unpack/codepage.h"

enum {
    /* A member's path, its folder's parts and its name joined by '/', in UTF-8. */
    UNPACK_MAX_PATH_BYTES = 1024,
    UNPACK_MAX_PATH_PARTS = 128,
};

/* A folder name, as shown and as created. */
struct unpack_folder_name {
    std::vector<std::string> parts; /* UTF-8, outermost first; none for the root */
    std::string display;            /* the parts joined by '/', for messages (unpack_display) */
    std::string problem;            /* why it is unsafe, or empty */
};

/* A member's own name, as shown and as created. */
struct unpack_member_name {
    std::string name;    /* UTF-8 */
    std::string display; /* for messages (unpack_display), '\' shown as '/' */
    std::string problem; /* why it is unsafe, or empty */
};

/*
 * unpack_name_folder() - convert the @length raw bytes of a folder name at
 * @bytes from @code_page (opened as @converter) and check it.
 */
unpack_folder_name unpack_name_folder(unpack_converter *converter, const std::string &code_page,
                                      const char *bytes, size_t length);

/*
 * unpack_name_member() - convert and check a member's name; @at_root tells
 * whether it is the first part of its path (the root folder, or --flat).
 */
unpack_member_name unpack_name_member(unpack_converter *converter, const std::string &code_page,
                                      const char *name, bool at_root);

/*
 * unpack_display() - @text with every control character (below 0x20, 0x7F,
 * and the C1 controls U+0080 to U+009F) written as "\xHH" of its code
 * point, so that a message stays on one line and shows what the name holds;
 * so is a byte that did not convert, marked by unpack_convert().
 */
std::string unpack_display(const std::string &text);

/*
 * unpack_is_plain_name() - whether @name (UTF-8) can be one part of a safe
 * path, at its start: not empty, ".", "..", a drive letter, nor anything else
 * a part may not be.
 */
bool unpack_is_plain_name(const std::string &name);

/* unpack_fold_case() - @text with the ASCII letters A-Z made lower case. */
std::string unpack_fold_case(const std::string &text);

/*
 * unpack_pattern_matches() - whether the shell wildcard @pattern matches the
 * whole of @text, without regard to ASCII case. '*' matches any run of
 * characters, '/' included; '?' one character; "[...]" one of a set, with
 * ranges and a leading '!' or '^' to negate. A '\' in @pattern stands for
 * '/'. Characters are UTF-8 sequences; a byte that starts none is one.
 */
bool unpack_pattern_matches(const std::string &pattern, const std::string &text);

#endif
