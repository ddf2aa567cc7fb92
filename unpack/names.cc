#include "unpack/names.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "archive/archive.h"
#include "unpack/unpack_os.h"

namespace {

bool is_ascii_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

uint32_t fold(uint32_t c)
{
    return c < 0x80 ? static_cast<uint32_t>(arc_ascii_lower(static_cast<char>(c))) : c;
}

/* Why @part cannot be one part of a path; @first: it starts the path. */
const char *part_problem(const std::string &part, bool first)
{
    if (part.empty())
        return "an empty part";
    if (part == ".")
        return "a '.' part";
    if (part == "..")
        return "a '..' part";
    if (first && part.size() >= 2 && is_ascii_letter(part[0]) && part[1] == ':')
        return "a drive letter";
    if (part.find('\0') != std::string::npos)
        return "a NUL byte";
    if (part.find('/') != std::string::npos)
        return "a '/' in a name";
    if (unpack_os_is_temp_name(part))
        return "a name of the form varlix-unpack's temporary files take";
    return unpack_os_name_problem(part);
}

/* A control character as "\\xHH" of its code point. */
std::string escaped_control(unsigned char code)
{
    char escaped[8];
    std::snprintf(escaped, sizeof(escaped), "\\x%02X", code);
    return escaped;
}

std::string conversion_problem(const std::string &code_page)
{
    return "bytes that are not " + code_page + " text";
}

std::vector<std::string> split_at_backslashes(const std::string &text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find('\\', start)) != std::string::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

/* The character at @text[*at], decoded leniently; *at moves past it. */
uint32_t next_character(const std::string &text, size_t *at)
{
    const unsigned char lead = static_cast<unsigned char>(text[*at]);
    const size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra != 0 && *at + extra < text.size()) {
        uint32_t value = lead & (0x3Fu >> extra);
        size_t i = 1;
        for (; i <= extra; ++i) {
            const unsigned char next = static_cast<unsigned char>(text[*at + i]);
            if ((next & 0xC0) != 0x80)
                break;
            value = value << 6 | (next & 0x3Fu);
        }
        if (i > extra) {
            *at += extra + 1;
            return value;
        }
    }
    ++*at;
    return lead;
}

/*
 * Matches the set at @pattern[*p] (just after its '[') against @c; *p moves
 * past its ']'. Returns -1 when the set is not closed: the '[' is then a
 * plain character.
 */
int match_set(const std::string &pattern, size_t *p, uint32_t c)
{
    size_t at = *p;
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    at += negated ? 1 : 0;
    bool matched = false;
    for (bool first = true; at < pattern.size() && (first || pattern[at] != ']'); first = false) {
        const uint32_t low = fold(next_character(pattern, &at));
        uint32_t high = low;
        if (at + 1 < pattern.size() && pattern[at] == '-' && pattern[at + 1] != ']') {
            ++at;
            high = fold(next_character(pattern, &at));
        }
        matched = matched || (low <= fold(c) && fold(c) <= high);
    }
    if (at >= pattern.size())
        return -1;
    *p = at + 1;
    return matched != negated;
}

/* Matches one pattern element at *p against one character at *t, moving both past them. */
bool match_one(const std::string &pattern, size_t *p, const std::string &text, size_t *t)
{
    size_t next_t = *t;
    const uint32_t c = next_character(text, &next_t);
    if (pattern[*p] == '?') {
        ++*p;
        *t = next_t;
        return true;
    }
    if (pattern[*p] == '[') {
        size_t after = *p + 1;
        const int set = match_set(pattern, &after, c);
        if (set >= 0) {
            *p = after;
            *t = next_t;
            return set == 1;
        }
    }
    size_t next_p = *p;
    uint32_t wanted = next_character(pattern, &next_p);
    if (wanted == '\\')
        wanted = '/';
    if (fold(wanted) != fold(c))
        return false;
    *p = next_p;
    *t = next_t;
    return true;
}

} // namespace

unpack_folder_name unpack_name_folder(unpack_converter *converter, const std::string &code_page,
                                      const char *bytes, size_t length)
{
    unpack_folder_name folder;
    std::string text;
    const bool exact = unpack_convert(converter, bytes, length, true, &text);
    if (text.empty())
        return folder;
    const std::vector<std::string> parts = split_at_backslashes(text);
    for (size_t i = 0; i < parts.size(); ++i)
        folder.display += (i == 0 ? "" : "/") + unpack_display(parts[i]);
    if (!exact)
        folder.problem = conversion_problem(code_page);
    else if (parts[0].empty() ? parts.size() > 1 : parts[0][0] == '/')
        folder.problem = "an absolute path";
    for (size_t i = 0; i < parts.size() && folder.problem.empty(); ++i) {
        if (const char *problem = part_problem(parts[i], i == 0))
            folder.problem = problem;
    }
    if (folder.problem.empty())
        folder.parts = parts;
    return folder;
}

unpack_member_name unpack_name_member(unpack_converter *converter, const std::string &code_page,
                                      const char *name, bool at_root)
{
    unpack_member_name member;
    std::string text;
    const bool exact =
        unpack_convert(converter, name, std::char_traits<char>::length(name), true, &text);
    std::string shown = text;
    std::replace(shown.begin(), shown.end(), '\\', '/');
    member.display = unpack_display(shown);
    if (!exact) {
        member.problem = conversion_problem(code_page);
    } else if (text.find('\\') != std::string::npos) {
        member.problem = "a '\\' in a member's name";
    } else if (const char *problem = part_problem(text, at_root)) {
        member.problem = problem;
    }
    member.name = text;
    return member;
}

std::string unpack_display(const std::string &text)
{
    std::string out;
    for (size_t at = 0; at < text.size(); ++at) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        const unsigned char next =
            at + 1 < text.size() ? static_cast<unsigned char>(text[at + 1]) : 0;
        if (byte == 0xFF && at + 2 < text.size()) {
            out += "\\x" + text.substr(at + 1, 2);
            at += 2;
        } else if (byte < 0x20 || byte == 0x7F) {
            out += escaped_control(byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += escaped_control(next); /* U+0080 to U+009F, the C1 controls */
            ++at;
        } else {
            out += text[at];
        }
    }
    return out;
}

bool unpack_is_plain_name(const std::string &name)
{
    return part_problem(name, true) == nullptr;
}

std::string unpack_fold_case(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return out;
}

bool unpack_pattern_matches(const std::string &pattern, const std::string &text)
{
    size_t p = 0, t = 0;
    size_t star_p = std::string::npos, star_t = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star_p = ++p;
            star_t = t;
            continue;
        }
        if (p < pattern.size() && match_one(pattern, &p, text, &t))
            continue;
        if (star_p == std::string::npos)
            return false;
        /* Let the last '*' take one more character and try again from there. */
        p = star_p;
        next_character(text, &star_t);
        t = star_t;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}
