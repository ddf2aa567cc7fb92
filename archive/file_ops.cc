#include "archive/file_ops.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
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

int arc_write_through(std::FILE *file, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
#if defined(_WIN32)
        const long written = _write(_fileno(file), bytes,
                                    static_cast<unsigned>(length < INT_MAX ? length : INT_MAX));
#else
        const long written = write(fileno(file), bytes, length);
        if (written < 0 && errno == EINTR)
            continue;
#endif
        if (written <= 0)
            return -1;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

bool arc_same_file(const arc_file_identity *a, const arc_file_identity *b)
{
    return a->known && b->known && a->device == b->device && a->inode == b->inode;
}

#if defined(_WIN32)

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

} // namespace

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

std::FILE *arc_open_output(const char *path)
{
    /* The sharing that the C library's own fopen() grants. */
    const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE *file = _fdopen(fd, "wb");
    if (file == nullptr)
        _close(fd);
    return file;
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

void arc_ignore_broken_pipes()
{
    /* Windows has no such signal: the write fails by itself. */
}

#else

namespace {

void identify_stat(const struct stat &info, arc_file_identity *identity)
{
    identity->known = true;
    identity->regular = S_ISREG(info.st_mode);
    identity->device = static_cast<uint64_t>(info.st_dev);
    identity->inode = static_cast<uint64_t>(info.st_ino);
}

/* Identifies what @path leads to, links followed. */
void identify_path(const char *path, arc_file_identity *identity)
{
    *identity = arc_file_identity();
    struct stat info;
    if (stat(path, &info) == 0)
        identify_stat(info, identity);
}

} // namespace

void arc_identify(std::FILE *file, arc_file_identity *identity)
{
    *identity = arc_file_identity();
    struct stat info;
    if (file != nullptr && fstat(fileno(file), &info) == 0)
        identify_stat(info, identity);
}

bool arc_path_is_open_file(const char *path, std::FILE *file)
{
    arc_file_identity file_identity;
    arc_file_identity path_identity;
    arc_identify(file, &file_identity);
    identify_path(path, &path_identity);
    return arc_same_file(&file_identity, &path_identity);
}

std::FILE *arc_open_output(const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE *file = fdopen(fd, "wb"); /* unlike fopen(), this does not empty the file */
    if (file == nullptr)
        close(fd);
    return file;
}

int arc_empty_file(std::FILE *file)
{
    struct stat info;
    if (fstat(fileno(file), &info) != 0)
        return -1;
    return S_ISREG(info.st_mode) ? ftruncate(fileno(file), 0) : 0;
}

void arc_remove_file(const char *path, const arc_file_identity *identity)
{
    struct stat link_info;
    if (lstat(path, &link_info) != 0)
        return;
    /*
     * Removing a link would leave the file that was written through it. The
     * link may lead through others, /proc/self/fd/N among them, so the whole
     * chain is resolved, and the file is removed only if it is still the one
     * that was written.
     */
    char *resolved = S_ISLNK(link_info.st_mode) ? realpath(path, nullptr) : nullptr;
    const char *target = S_ISLNK(link_info.st_mode) ? resolved : path;
    arc_file_identity found;
    if (target != nullptr) {
        identify_path(target, &found);
        if (arc_same_file(&found, identity))
            std::remove(target);
    }
    std::free(resolved);
}

void arc_ignore_broken_pipes()
{
    std::signal(SIGPIPE, SIG_IGN);
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

#if defined(__linux__) && defined(MAP_POPULATE)

namespace {

/* Below this, the heap serves: its memory is mostly reused rather than fresh. */
const size_t PREFAULT_THRESHOLD = size_t{1} << 20;

} // namespace

/*
 * A large buffer is mapped with its pages taken and zeroed in one pass, not
 * one fault at a time as the read reaches them. Huge pages were tried too:
 * where memory must first be compacted to find them, getting them costs more
 * than the faults they save.
 */
uint8_t *arc_buffer_acquire(size_t size)
{
    if (size < PREFAULT_THRESHOLD)
        return static_cast<uint8_t *>(std::malloc(size));
    void *mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return mapping != MAP_FAILED ? static_cast<uint8_t *>(mapping) : nullptr;
}

void arc_buffer_release(uint8_t *buffer, size_t size)
{
    if (buffer == nullptr)
        return;
    if (size < PREFAULT_THRESHOLD)
        std::free(buffer);
    else
        munmap(buffer, size);
}

#else

uint8_t *arc_buffer_acquire(size_t size)
{
    return static_cast<uint8_t *>(std::malloc(size));
}

void arc_buffer_release(uint8_t *buffer, size_t)
{
    std::free(buffer);
}

#endif
