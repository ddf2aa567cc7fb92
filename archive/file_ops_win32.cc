/*
 * file_ops_win32.cc - the file operations on Windows: handles under the C
 * runtime's streams, identities from volume serial numbers and file indexes,
 * folders through FindFirstFile.
 */
#include "archive/file_ops.h"

#include <climits>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "archive/archive.h"

namespace {

/* The Windows handle under a C stream, or INVALID_HANDLE_VALUE. */
HANDLE stream_handle(std::FILE *file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

/* A volume serial number and a file index name one file, whatever path or link reaches it. */
void identify_handle(HANDLE handle, arc_file_identity *identity)
{
    *identity = arc_file_identity();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return;
    identity->known = true;
    identity->regular = GetFileType(handle) == FILE_TYPE_DISK &&
                        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    identity->device = info.dwVolumeSerialNumber;
    identity->inode = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
}

/*
 * Opens what @path leads to, links followed, with every kind of sharing
 * allowed, so that the open neither fails on nor gets in the way of a file
 * that is open elsewhere; a directory opens too rather than failing.
 */
HANDLE open_existing(const char *path, DWORD access)
{
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

/* A stream over @handle, which is closed when no stream can be made. */
std::FILE *stream_over(HANDLE handle, int flags, const char *mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE *file = _fdopen(fd, mode);
    if (file == nullptr)
        _close(fd);
    return file;
}

} // namespace

bool arc_is_path_separator(char c)
{
    return c == '/' || c == '\\' || c == ':';
}

int arc_seek_from_start(std::FILE *file, uint64_t position)
{
    if (position > static_cast<uint64_t>(INT64_MAX))
        return -1;
    return _fseeki64(file, static_cast<__int64>(position), SEEK_SET);
}

int arc_seek_to_end(std::FILE *file)
{
    return _fseeki64(file, 0, SEEK_END);
}

int64_t arc_tell(std::FILE *file)
{
    return static_cast<int64_t>(_ftelli64(file));
}

int arc_write_through(std::FILE *file, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        const long written = _write(_fileno(file), bytes,
                                    static_cast<unsigned>(length < INT_MAX ? length : INT_MAX));
        if (written <= 0)
            return -1;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

void arc_identify(std::FILE *file, arc_file_identity *identity)
{
    *identity = arc_file_identity();
    if (file != nullptr)
        identify_handle(stream_handle(file), identity);
}

bool arc_path_is_open_file(const char *path, std::FILE *file)
{
    arc_file_identity file_identity;
    arc_identify(file, &file_identity);
    if (!file_identity.known)
        return false;
    const HANDLE path_handle = open_existing(path, FILE_READ_ATTRIBUTES);
    if (path_handle == INVALID_HANDLE_VALUE)
        return false;
    arc_file_identity path_identity;
    identify_handle(path_handle, &path_identity);
    CloseHandle(path_handle);
    return arc_same_file(&file_identity, &path_identity);
}

std::FILE *arc_open_regular_file(const char *path)
{
    /* The sharing that the C library's own fopen() grants; a folder does not open. */
    const HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return nullptr;
    }
    return stream_over(handle, _O_RDONLY, "rb");
}

std::FILE *arc_open_output(const char *path)
{
    /* The sharing that the C library's own fopen() grants. */
    const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return stream_over(handle, _O_WRONLY, "wb");
}

int arc_empty_file(std::FILE *file)
{
    const HANDLE handle = stream_handle(file);
    if (GetFileType(handle) != FILE_TYPE_DISK)
        return 0;
    LARGE_INTEGER start;
    start.QuadPart = 0;
    return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && SetEndOfFile(handle) ? 0 : -1;
}

void arc_remove_file(const char *path, const arc_file_identity *identity)
{
    /* Opened through its links, the handle is the file itself, and so is what it deletes. */
    const HANDLE handle = open_existing(path, DELETE | FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    arc_file_identity found;
    identify_handle(handle, &found);
    if (arc_same_file(&found, identity)) {
        FILE_DISPOSITION_INFO disposition;
        disposition.DeleteFile = TRUE;
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition));
    }
    CloseHandle(handle);
}

char *arc_resolve_path(const char *path)
{
    return _fullpath(nullptr, path, 0);
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

uint8_t *arc_buffer_acquire(size_t size)
{
    return static_cast<uint8_t *>(std::malloc(size));
}

void arc_buffer_release(uint8_t *buffer, size_t)
{
    std::free(buffer);
}
