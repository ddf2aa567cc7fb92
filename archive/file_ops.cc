#include "archive/file_ops.h"

#if defined(_WIN32)
/* The C++ library on MinGW may have asked for these already. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif

int arc_seek_from_start(std::FILE *file, uint64_t position)
{
    if (position > static_cast<uint64_t>(INT64_MAX))
        return -1;
#if defined(_WIN32)
    return _fseeki64(file, static_cast<__int64>(position), SEEK_SET);
#else
    return fseeko(file, static_cast<off_t>(position), SEEK_SET);
#endif
}

int arc_seek_to_end(std::FILE *file)
{
#if defined(_WIN32)
    return _fseeki64(file, 0, SEEK_END);
#else
    return fseeko(file, 0, SEEK_END);
#endif
}

int64_t arc_tell(std::FILE *file)
{
#if defined(_WIN32)
    return static_cast<int64_t>(_ftelli64(file));
#else
    return static_cast<int64_t>(ftello(file));
#endif
}

#if defined(_WIN32)

namespace {

/* The Windows handle under a C stream, or INVALID_HANDLE_VALUE. */
HANDLE stream_handle(std::FILE *file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

/* A volume serial number and a file index name one file, whatever path or link reaches it. */
bool same_file(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

} // namespace

bool arc_path_is_open_file(const char *path, std::FILE *file)
{
    BY_HANDLE_FILE_INFORMATION file_info;
    if (file == nullptr || !GetFileInformationByHandle(stream_handle(file), &file_info))
        return false;
    /*
     * Only the attributes are read, and every kind of sharing is allowed, so
     * this open neither fails on nor gets in the way of a file that the
     * process (or another) has open. Symbolic links are followed to their
     * target, and a directory opens too rather than failing.
     */
    const HANDLE path_handle = CreateFileA(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (path_handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION path_info;
    const bool same =
        GetFileInformationByHandle(path_handle, &path_info) && same_file(file_info, path_info);
    CloseHandle(path_handle);
    return same;
}

bool arc_is_regular_file(std::FILE *file)
{
    /* A failed call also returns FILE_TYPE_UNKNOWN; only the last error tells them apart. */
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(stream_handle(file));
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return true;
    return type == FILE_TYPE_DISK;
}

#else

bool arc_path_is_open_file(const char *path, std::FILE *file)
{
    struct stat path_info;
    struct stat file_info;
    if (file == nullptr || stat(path, &path_info) != 0 || fstat(fileno(file), &file_info) != 0)
        return false;
    return path_info.st_dev == file_info.st_dev && path_info.st_ino == file_info.st_ino;
}

bool arc_is_regular_file(std::FILE *file)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0)
        return true;
    return S_ISREG(info.st_mode);
}

#endif

/* Folder listing, for the sibling volumes of a disk set. */

#if defined(_WIN32)

#include <string>

size_t arc_file_name_start(const char *path)
{
    size_t start = 0;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] == '/' || path[i] == '\\' || path[i] == ':')
            start = i + 1;
    }
    return start;
}

int arc_list_folder(const char *folder, void (*visit)(void *context, const char *name),
                    void *context)
{
    std::string pattern = *folder != '\0' ? folder : ".";
    pattern += "\\*";
    WIN32_FIND_DATAA entry;
    const HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return -1;
    do
        visit(context, entry.cFileName);
    while (FindNextFileA(search, &entry));
    FindClose(search);
    return 0;
}

#else

#include <cstring>
#include <dirent.h>

size_t arc_file_name_start(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
}

int arc_list_folder(const char *folder, void (*visit)(void *context, const char *name),
                    void *context)
{
    DIR *listing = opendir(*folder != '\0' ? folder : ".");
    if (listing == nullptr)
        return -1;
    while (const struct dirent *entry = readdir(listing))
        visit(context, entry->d_name);
    closedir(listing);
    return 0;
}

#endif
