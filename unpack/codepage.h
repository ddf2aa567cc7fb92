/*
 * codepage.h - an installer's names converted from its code page to UTF-8:
 * through iconv on POSIX systems (codepage_posix.cc), MultiByteToWideChar on
 * Windows (codepage_win32.cc).
 */
#ifndef VARLIX_UNPACK_CODEPAGE_H
#define VARLIX_UNPACK_CODEPAGE_H

#include <cstddef>
#include <string>

/* A converter from a code page to UTF-8. */
struct unpack_converter;

/*
 * unpack_open_converter() - a converter from the code page @name (an iconv
 * name on POSIX; "CP<number>" or a number on Windows) to UTF-8. Returns it,
 * or null when the code page is unknown.
 */
unpack_converter *unpack_open_converter(const std::string &name);

/*
 * unpack_convert() - append @length bytes at @bytes, converted, to *@out.
 * A byte that does not convert is appended as U+FFFD or, when @escape, as
 * the byte 0xFF (which UTF-8 never holds) and the byte's value in two
 * upper-case hex digits, for unpack_display() to show. Returns whether every
 * byte converted. One thread at a time per converter.
 */
bool unpack_convert(unpack_converter *converter, const char *bytes, size_t length, bool escape,
                    std::string *out);

/* unpack_close_converter() - release @converter (null is allowed). */
void unpack_close_converter(unpack_converter *converter);

/* unpack_unconverted_byte() - what unpack_convert() appends for a @byte that did not convert. */
std::string unpack_unconverted_byte(unsigned char byte, bool escape);

#endif
