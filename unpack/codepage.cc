/*
 * codepage.cc - what the code-page converters of every platform share.
 */
#include "unpack/codepage.h"

#include <cstdio>

std::string unpack_unconverted_byte(unsigned char byte, bool escape)
{
    if (!escape)
        return "\xEF\xBF\xBD"; /* U+FFFD */
    char text[8];
    std::snprintf(text, sizeof(text), "\xFF%02X", byte);
    return text;
}
