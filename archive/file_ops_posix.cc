/*
 * file_ops_posix.cc - the file operations on POSIX systems: descriptors under
 * the streams, identities from stat(), folders through opendir().
 */
#include "archive/file_ops.h"

#include <cerrno>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "archive/archive.h"

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

bool arc_is_path_separator(char c)
{
    return c == '/';
}

int arc_seek_from_start(std::FILE *file, uint64_t position)
{
    if (position > static_cast<uint64_t>(INT64_MAX))
        return -1;
    return fseeko(file, static_cast<off_t>(position), SEEK_SET);
}

int arc_seek_to_end(std::FILE *file)
{
    return fseeko(file, 0, SEEK_END);
}

int64_t arc_tell(std::FILE *file)
{
    return static_cast<int64_t>(ftello(file));
}

int arc_write_through(std::FILE *file, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fileno(file), bytes, length);
        if (written < 0 && errno == EINTR)
            continue;
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

std::FILE *arc_open_regular_file(const char *path)
{
    /* Without O_NONBLOCK, opening a FIFO waits for a writer that may never come. */
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat info;
    int error = EINVAL;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1) {
            if (std::FILE *file = fdopen(fd, "rb"))
                return file;
        }
        error = errno;
    }
    close(fd);
    errno = error;
    return nullptr;
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

char *arc_resolve_path(const char *path)
{
    return realpath(path, nullptr);
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

#if defined(__linux__) && defined(MAP_POPULATE)

namespace {

/* Below this, the heap serves: its memory is mostly reused rather than fresh. */
const size_t PREFAULT_THRESHOLD = size_t{1} << 20;

} // namespace

/*
 * A large buffer is mapped with its pages taken and zeroed in one pass, not
 * one fault at a time as the read reaches them. Huge pages cost more than the
 * faults they save where memory must first be compacted to find them.
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
