/*
 * make_demo_archive - writes the example archive shipped in examples/: a text
 * file, a small bitmap, an INI file and a member whose name is longer than 24
 * characters, compressed in both literal modes.
 *
 * Usage: make_demo_archive <output-path>
 */
#include <cstdio>
#include <string>

#include "tools/archive_writer.h"

namespace {

const char README_TEXT[] =
    "VARLIX DEMO SETUP\r\n"
    "=================\r\n"
    "\r\n"
    "This archive was made for the varlix example. Its members are compressed\r\n"
    "in the implode format, the way installers of the 1990s stored them.\r\n"
    "\r\n"
    "To install, run SETUP.EXE from the first disk. To install, run SETUP.EXE\r\n"
    "from the first disk and follow the instructions on the screen.\r\n";

const char SETUP_INI[] = "[Startup]\r\n"
                         "AppName=Varlix Demo\r\n"
                         "FreeDiskSpace=512\r\n"
                         "\r\n"
                         "[Files]\r\n"
                         "File1=README.TXT\r\n"
                         "File2=LOGO.BMP\r\n"
                         "File3=INSTALLATION-NOTES-FOR-WINDOWS-95.TXT\r\n";

const char NOTES_TEXT[] = "Installation notes for Windows 95\r\n"
                          "\r\n"
                          "1. Close all other programs before you start the installation.\r\n"
                          "2. Insert disk 1 and run SETUP.EXE.\r\n"
                          "3. When asked, insert disk 2. When asked, insert disk 3.\r\n"
                          "4. Restart Windows when the installation has finished.\r\n";

void put_u32(std::vector<uint8_t> &out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

/* A 32x32 bitmap, 8 bits per pixel, of a simple diagonal pattern. */
std::vector<uint8_t> make_bitmap()
{
    const uint32_t side = 32, palette_size = 256 * 4, pixels = side * side;
    std::vector<uint8_t> out = {'B', 'M'};
    put_u32(out, 14 + 40 + palette_size + pixels);
    put_u32(out, 0);
    put_u32(out, 14 + 40 + palette_size);
    put_u32(out, 40);
    put_u32(out, side);
    put_u32(out, side);
    put_u32(out, 1 | 8 << 16); /* planes, bits per pixel */
    for (int i = 0; i < 6; ++i)
        put_u32(out, 0);
    for (uint32_t i = 0; i < 256; ++i)
        put_u32(out, i * 0x010101u);
    for (uint32_t y = 0; y < side; ++y) {
        for (uint32_t x = 0; x < side; ++x)
            out.push_back(static_cast<uint8_t>(((x + y) % 8) * 32));
    }
    return out;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: make_demo_archive <output-path>\n", stderr);
        return 1;
    }
    test_archive archive;
    archive.members.push_back(packed_member("README.TXT", bytes_of(README_TEXT), 1, 6));
    archive.members.push_back(packed_member("LOGO.BMP", make_bitmap(), 0, 4));
    archive.members.push_back(packed_member("SETUP.INI", bytes_of(SETUP_INI), 0, 5));
    archive.members.push_back(
        packed_member("INSTALLATION-NOTES-FOR-WINDOWS-95.TXT", bytes_of(NOTES_TEXT), 1, 6));
    if (!write_file(argv[1], build_archive(archive))) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
