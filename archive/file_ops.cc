#include "archive/file_ops.h"

#if defined(_WIN32)
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#define VARLIX_HAVE_POSIX_STAT 0
#else
#include <sys/stat.h>
#include <sys/types.h>
#define VARLIX_HAVE_POSIX_STAT 1
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

#if VARLIX_HAVE_POSIX_STAT

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

#else

bool arc_path_is_open_file(const char *, std::FILE *)
{
    return false;
}

bool arc_is_regular_file(std::FILE *)
{
    return true;
}

#endif
