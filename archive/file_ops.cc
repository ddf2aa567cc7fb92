#include "archive/file_ops.h"

#include <cstdlib>

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
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
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

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace {

const size_t HUGE_PAGE_SIZE = size_t{2} << 20;

bool takes_huge_pages(size_t size)
{
    return size >= HUGE_PAGE_SIZE;
}

size_t whole_pages(size_t size)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

} // namespace

uint8_t *arc_buffer_acquire(size_t size)
{
    if (!takes_huge_pages(size))
        return static_cast<uint8_t *>(std::malloc(size));
    /*
     * Huge pages back only whole, aligned 2 MiB stretches of a mapping: map
     * one huge page more than needed and keep the part that starts on such a
     * boundary. Pages are only ever taken for what is written, so the
     * buffer's resident size stays that of the data.
     */
    const size_t length = whole_pages(size);
    if (length > SIZE_MAX - HUGE_PAGE_SIZE)
        return nullptr;
    const size_t mapped = length + HUGE_PAGE_SIZE;
    void *mapping =
        mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    uint8_t *const first = static_cast<uint8_t *>(mapping);
    const uintptr_t address = reinterpret_cast<uintptr_t>(first);
    const size_t head = (HUGE_PAGE_SIZE - address % HUGE_PAGE_SIZE) % HUGE_PAGE_SIZE;
    uint8_t *const buffer = first + head;
    if (head != 0)
        munmap(first, head);
    if (mapped - head - length != 0)
        munmap(buffer + length, mapped - head - length);
    /* Advice only: where it is refused, ordinary pages serve. */
    madvise(buffer, length, MADV_HUGEPAGE);
    return buffer;
}

void arc_buffer_release(uint8_t *buffer, size_t size)
{
    if (buffer == nullptr)
        return;
    if (takes_huge_pages(size))
        munmap(buffer, whole_pages(size));
    else
        std::free(buffer);
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
