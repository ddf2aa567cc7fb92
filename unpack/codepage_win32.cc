/*
 * codepage_win32.cc - code pages converted to UTF-8 through
 * MultiByteToWideChar, one character at a time so that a byte that is not
 * text is told apart.
 */
#include "unpack/codepage.h"

#include <new>

#include <windows.h>

#include "unpack/win32_text.h"

struct unpack_converter {
    UINT code_page;
};

unpack_converter *unpack_open_converter(const std::string &name)
{
    size_t digits = 0;
    if (name.size() > 2 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'P' || name[1] == 'p'))
        digits = 2;
    if (digits == name.size() || name.size() - digits > 5 ||
        name.find_first_not_of("0123456789", digits) != std::string::npos)
        return nullptr;
    const UINT code_page = static_cast<UINT>(std::stoul(name.substr(digits)));
    if (!IsValidCodePage(code_page))
        return nullptr;
    unpack_converter *converter = new (std::nothrow) unpack_converter{code_page};
    if (converter == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return converter;
}

bool unpack_convert(unpack_converter *converter, const char *bytes, size_t length, bool escape,
                    std::string *out)
{
    bool exact = true;
    wchar_t characters[2];
    for (size_t at = 0; at < length;) {
        const size_t size =
            IsDBCSLeadByteEx(converter->code_page, static_cast<BYTE>(bytes[at])) && at + 1 < length
                ? 2
                : 1;
        const int count = MultiByteToWideChar(converter->code_page, MB_ERR_INVALID_CHARS,
                                              bytes + at, static_cast<int>(size), characters, 2);
        if (count > 0) {
            out->append(unpack_win32_narrow(characters, count, CP_UTF8, nullptr));
        } else {
            exact = false;
            out->append(unpack_unconverted_byte(static_cast<unsigned char>(bytes[at]), escape));
        }
        at += count > 0 ? size : 1;
    }
    return exact;
}

void unpack_close_converter(unpack_converter *converter)
{
    delete converter;
}
