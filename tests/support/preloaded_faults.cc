/*
 * preloaded_faults.cc - a library preloaded into the tool by tests to make
 * chosen calls fail, so that every failure path can be driven on purpose:
 *
 *   VARLIX_FAIL_MALLOC_FROM=n   malloc of n bytes or more returns null
 *   VARLIX_FAIL_CALLOC_FROM=n   calloc of n bytes or more in all returns null
 *   VARLIX_FAIL_FREAD_CALL=k    the k-th fread reads one item short
 *   VARLIX_FAIL_FSEEKO_CALL=k   the k-th fseeko fails
 *   VARLIX_FAIL_FCLOSE_CALL=k   the k-th fclose closes the stream but reports failure
 *   VARLIX_SWAP_PATH=p and VARLIX_SWAP_TARGET=t
 *                               as p is opened for writing, it is first replaced
 *                               by a symbolic link to t, as a racing process might
 *
 * Calls are counted from 1 over the whole run. glibc only: allocation goes on
 * to its __libc_malloc and __libc_calloc, the rest to the next definition.
 */

/* The seek functions are defined here under their own names, not redirected. */
#undef _FILE_OFFSET_BITS

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);

namespace {

/* The variable's value, or 0 when it is unset; read without allocating. */
unsigned long long setting(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? std::strtoull(value, nullptr, 10) : 0;
}

bool is_chosen_call(const char *name, unsigned long long *calls)
{
    const unsigned long long chosen = setting(name);
    return ++*calls == chosen;
}

template <typename Function>
Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

unsigned long long fread_calls, fseeko_calls, fclose_calls;

int injected_seek(std::FILE *file, off_t offset, int whence, const char *real_name)
{
    typedef int (*seek_function)(std::FILE *, off_t, int);
    if (is_chosen_call("VARLIX_FAIL_FSEEKO_CALL", &fseeko_calls)) {
        errno = EIO;
        return -1;
    }
    return next_definition<seek_function>(real_name)(file, offset, whence);
}

/* Replaces the chosen path by a link to the chosen target, in one rename. */
void swap_if_chosen(const char *path, bool for_writing)
{
    const char *chosen = std::getenv("VARLIX_SWAP_PATH");
    const char *target = std::getenv("VARLIX_SWAP_TARGET");
    if (!for_writing || chosen == nullptr || target == nullptr || std::strcmp(path, chosen) != 0)
        return;
    char link_path[4096];
    std::snprintf(link_path, sizeof(link_path), "%s.swap", chosen);
    if (symlink(target, link_path) == 0)
        std::rename(link_path, chosen);
}

int swapped_open(const char *path, int flags, va_list args, const char *real_name)
{
    typedef int (*open_function)(const char *, int, ...);
    const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
    swap_if_chosen(path, (flags & O_ACCMODE) != O_RDONLY);
    return next_definition<open_function>(real_name)(path, flags, mode);
}

std::FILE *swapped_fopen(const char *path, const char *mode, const char *real_name)
{
    typedef std::FILE *(*fopen_function)(const char *, const char *);
    swap_if_chosen(path, mode[0] != 'r' || std::strchr(mode, '+') != nullptr);
    return next_definition<fopen_function>(real_name)(path, mode);
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = swapped_open(path, flags, args, "open");
    va_end(args);
    return fd;
}

int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const int fd = swapped_open(path, flags, args, "open64");
    va_end(args);
    return fd;
}

std::FILE *fopen(const char *path, const char *mode)
{
    return swapped_fopen(path, mode, "fopen");
}

std::FILE *fopen64(const char *path, const char *mode)
{
    return swapped_fopen(path, mode, "fopen64");
}

void *malloc(size_t size)
{
    const unsigned long long from = setting("VARLIX_FAIL_MALLOC_FROM");
    if (from != 0 && size >= from) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size)
{
    const unsigned long long from = setting("VARLIX_FAIL_CALLOC_FROM");
    if (from != 0 && count * size >= from) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_calloc(count, size);
}

size_t fread(void *buffer, size_t size, size_t count, std::FILE *file)
{
    typedef size_t (*read_function)(void *, size_t, size_t, std::FILE *);
    if (is_chosen_call("VARLIX_FAIL_FREAD_CALL", &fread_calls) && count > 0)
        --count;
    return next_definition<read_function>("fread")(buffer, size, count, file);
}

int fseeko(std::FILE *file, off_t offset, int whence)
{
    return injected_seek(file, offset, whence, "fseeko");
}

int fseeko64(std::FILE *file, off_t offset, int whence)
{
    return injected_seek(file, offset, whence, "fseeko64");
}

int fclose(std::FILE *file)
{
    typedef int (*close_function)(std::FILE *);
    const int result = next_definition<close_function>("fclose")(file);
    return is_chosen_call("VARLIX_FAIL_FCLOSE_CALL", &fclose_calls) ? EOF : result;
}

} // extern "C"
