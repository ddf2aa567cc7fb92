/*
 * codepage_posix.cc - code pages converted to UTF-8 through iconv.
 */
#include "unpack/codepage.h"

#include <cerrno>
#include <new>

#include <iconv.h>

struct unpack_converter {
    iconv_t descriptor;
};

unpack_converter *unpack_open_converter(const std::string &name)
{
    const iconv_t descriptor = iconv_open("UTF-8", name.c_str());
    if (descriptor == reinterpret_cast<iconv_t>(-1))
        return nullptr;
    unpack_converter *converter = new (std::nothrow) unpack_converter{descriptor};
    if (converter == nullptr)
        iconv_close(descriptor);
    return converter;
}

bool unpack_convert(unpack_converter *converter, const char *bytes, size_t length, bool escape,
                    std::string *out)
{
    bool exact = true;
    iconv(converter->descriptor, nullptr, nullptr, nullptr, nullptr);
    char *in = const_cast<char *>(bytes);
    size_t in_left = length;
    char buffer[256];
    while (in_left > 0) {
        char *next = buffer;
        size_t room = sizeof(buffer);
        const size_t result = iconv(converter->descriptor, &in, &in_left, &next, &room);
        out->append(buffer, static_cast<size_t>(next - buffer));
        if (result != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        /* EILSEQ, or EINVAL for a character cut short at the end. */
        exact = false;
        out->append(unpack_unconverted_byte(static_cast<unsigned char>(*in), escape));
        ++in;
        --in_left;
        iconv(converter->descriptor, nullptr, nullptr, nullptr, nullptr);
    }
    char *next = buffer;
    size_t room = sizeof(buffer);
    iconv(converter->descriptor, nullptr, nullptr, &next, &room);
    out->append(buffer, static_cast<size_t>(next - buffer));
    return exact;
}

void unpack_close_converter(unpack_converter *converter)
{
    if (converter == nullptr)
        return;
    iconv_close(converter->descriptor);
    delete converter;
}
