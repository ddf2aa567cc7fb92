/*
 * fault_injection.cc - a library preloaded into the tool by tests to make
 * chosen calls fail, so that every failure path can be driven on purpose:
 *
 *   VARLIX_FAIL_MALLOC_FROM=n   malloc of n bytes or more returns null
 *   VARLIX_FAIL_CALLOC_FROM=n   calloc of n bytes or more in all returns null
 *   VARLIX_FAIL_FREAD_CALL=k    the k-th fread reads one item short
 *   VARLIX_FAIL_FSEEKO_CALL=k   the k-th fseeko fails
 *   VARLIX_FAIL_FCLOSE_CALL=k   the k-th fclose closes the stream but reports failure
 *
 * Calls are counted from 1 over the whole run. glibc only: allocation goes on
 * to its __libc_malloc and __libc_calloc, the rest to the next definition.
 */

/* The seek functions are defined here under their own names, not redirected. */
#undef _FILE_OFFSET_BITS

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <dlfcn.h>
#include <sys/types.h>

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

} // namespace

extern "C" {

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
