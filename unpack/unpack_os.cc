#include "unpack/unpack_os.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
/* After windows.h, whose declarations it needs. */
#include <shellapi.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string temp_name_for(unsigned long process, unsigned slot, unsigned attempt)
{
    std::string name = ".varlix-unpack-" + std::to_string(process) + "-" + std::to_string(slot);
    if (attempt != 0)
        name += "-" + std::to_string(attempt);
    return name + ".tmp";
}

std::string escaped_byte(unsigned char byte)
{
    char text[8];
    std::snprintf(text, sizeof(text), "\xFF%02X", byte);
    return text;
}

const char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";

/*
 * Workers create the temporary files while the interrupt handler runs
 * elsewhere (on the main thread on POSIX, on a thread of the system's on
 * Windows). A worker registers a name and creates its file inside a section
 * that the handler waits out, and no section starts once the handler has
 * begun: every file that exists is in the table when the handler sweeps it.
 */
std::atomic<int> g_creating{0};
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "a signal handler may use only lock-free atomics");

bool begin_creation()
{
    g_creating.fetch_add(1);
    if (!g_interrupted.load())
        return true;
    g_creating.fetch_sub(1);
    return false;
}

void end_creation()
{
    g_creating.fetch_sub(1);
}

void wait_out_creations()
{
    g_interrupted.store(true);
    while (g_creating.load() != 0) {
    }
}

const char *own_error_text(int error)
{
    switch (error) {
    case UNPACK_OS_ERR_LINK:
        return "a symbolic link is in the way";
    case UNPACK_OS_ERR_NOT_FOLDER:
        return "a file is in the way";
    case UNPACK_OS_ERR_EXISTS:
        return "the name is taken";
    case UNPACK_OS_ERR_NAME:
        return "the name cannot be given to the system";
    default:
        return "unknown error";
    }
}

} // namespace

#if !defined(_WIN32)

struct unpack_dir {
    int fd;
};

struct unpack_file {
    int fd;
};

struct unpack_converter {
    iconv_t descriptor;
};

namespace {

/* A name and its folder are written inside a creation section only. */
struct temp_slot {
    std::atomic<int> active;
    int dir_fd;
    char name[64];
};

temp_slot g_temp_slots[UNPACK_OS_TEMP_SLOTS];

void remove_temps_and_die(int signal_number)
{
    wait_out_creations();
    for (temp_slot &slot : g_temp_slots) {
        if (slot.active.load())
            unlinkat(slot.dir_fd, slot.name, 0);
    }
    /* SA_RESETHAND put the default action back and SA_NODEFER lets it act now. */
    raise(signal_number);
}

int entry_kind_at(int dir_fd, const char *name, unpack_entry_kind *kind)
{
    struct stat info;
    if (fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        *kind = UNPACK_ENTRY_NONE;
        return errno == ENOENT ? 0 : errno;
    }
    if (S_ISREG(info.st_mode))
        *kind = UNPACK_ENTRY_FILE;
    else if (S_ISDIR(info.st_mode))
        *kind = UNPACK_ENTRY_FOLDER;
    else if (S_ISLNK(info.st_mode))
        *kind = UNPACK_ENTRY_LINK;
    else
        *kind = UNPACK_ENTRY_OTHER;
    return 0;
}

/* Makes each missing folder of @path in turn, as mkdir -p does. */
int make_folders(const std::string &path, unsigned *created)
{
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && prefix.back() != '/') {
            if (mkdir(prefix.c_str(), 0777) == 0)
                ++*created;
            else if (errno != EEXIST)
                return errno;
        }
        if (end == std::string::npos)
            return 0;
    }
}

} // namespace

std::vector<std::string> unpack_os_arguments(int argc, char *argv[])
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void unpack_os_prepare_console() {}

bool unpack_os_stderr_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

std::string unpack_os_error_text(int error)
{
    return error > 0 ? std::strerror(error) : own_error_text(error);
}

std::string unpack_os_library_path(const std::string &path, bool *ok)
{
    *ok = true;
    return path;
}

size_t unpack_os_file_name_start(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? 0 : slash + 1;
}

int unpack_os_open_root(const std::string &path, unpack_dir **dir, unsigned *created)
{
    *dir = nullptr;
    *created = 0;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (const int error = make_folders(path, created))
            return error;
        fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        return errno;
    *dir = new unpack_dir{fd};
    return 0;
}

int unpack_os_open_folder(unpack_dir *parent, const std::string &name, unpack_dir **dir,
                          bool *created)
{
    *dir = nullptr;
    *created = false;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(parent->fd, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        if (mkdirat(parent->fd, name.c_str(), 0777) == 0)
            *created = true;
        else if (errno != EEXIST)
            return errno;
        fd = openat(parent->fd, name.c_str(), flags);
    }
    if (fd >= 0) {
        *dir = new unpack_dir{fd};
        return 0;
    }
    const int error = errno;
    if (error != ELOOP && error != ENOTDIR)
        return error;
    unpack_entry_kind kind;
    entry_kind_at(parent->fd, name.c_str(), &kind);
    return kind == UNPACK_ENTRY_LINK ? UNPACK_OS_ERR_LINK : UNPACK_OS_ERR_NOT_FOLDER;
}

void unpack_os_close_folder(unpack_dir *dir)
{
    if (dir == nullptr)
        return;
    close(dir->fd);
    delete dir;
}

int unpack_os_entry_kind(unpack_dir *dir, const std::string &name, unpack_entry_kind *kind)
{
    return entry_kind_at(dir->fd, name.c_str(), kind);
}

int unpack_os_create_temp(unsigned slot, unpack_dir *dir, std::string *name, unpack_file **file)
{
    *file = nullptr;
    static const unsigned long process = static_cast<unsigned long>(getpid());
    temp_slot &entry = g_temp_slots[slot];
    int fd = -1, error = UNPACK_OS_ERR_EXISTS;
    for (unsigned attempt = 0; attempt < 100 && error == UNPACK_OS_ERR_EXISTS; ++attempt) {
        *name = temp_name_for(process, slot, attempt);
        /* Nothing in the section allocates: the handler may have stopped a thread in malloc. */
        if (!begin_creation())
            return EINTR;
        entry.dir_fd = dir->fd;
        std::snprintf(entry.name, sizeof(entry.name), "%s", name->c_str());
        entry.active.store(1);
        fd = openat(dir->fd, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
        error = fd >= 0 ? 0 : errno == EEXIST ? UNPACK_OS_ERR_EXISTS : errno;
        if (fd < 0)
            entry.active.store(0);
        end_creation();
    }
    if (fd >= 0)
        *file = new unpack_file{fd};
    return error;
}

int unpack_os_write(unpack_file *file, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(file->fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

int unpack_os_close_file(unpack_file *file, const unpack_file_details *details)
{
    int error = 0;
    if (details != nullptr && details->has_time) {
        const struct timespec times[2] = {{0, UTIME_OMIT},
                                          {static_cast<time_t>(details->modified), 0}};
        if (futimens(file->fd, times) != 0)
            error = errno;
    }
    struct stat info;
    if (details != nullptr && details->read_only && error == 0) {
        /* The mode the file was created with already has the umask applied. */
        if (fstat(file->fd, &info) != 0 || fchmod(file->fd, info.st_mode & 07555) != 0)
            error = errno;
    }
    if (close(file->fd) != 0 && error == 0)
        error = errno;
    delete file;
    return error;
}

int unpack_os_rename(unpack_dir *dir, const std::string &from, const std::string &to, bool replace)
{
    if (replace)
        return renameat(dir->fd, from.c_str(), dir->fd, to.c_str()) == 0 ? 0 : errno;
#if defined(RENAME_NOREPLACE)
    /* Linux renames only onto a free name in one step, where the file system allows it. */
    if (renameat2(dir->fd, from.c_str(), dir->fd, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EEXIST)
        return UNPACK_OS_ERR_EXISTS;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
#endif
    /* A hard link is made only when the name is free: the check and the act are one. */
    if (linkat(dir->fd, from.c_str(), dir->fd, to.c_str(), 0) == 0)
        return unlinkat(dir->fd, from.c_str(), 0) == 0 ? 0 : errno;
    if (errno == EEXIST)
        return UNPACK_OS_ERR_EXISTS;
    /* File systems without hard links: check, then rename. */
    unpack_entry_kind kind;
    if (const int error = entry_kind_at(dir->fd, to.c_str(), &kind))
        return error;
    if (kind != UNPACK_ENTRY_NONE)
        return UNPACK_OS_ERR_EXISTS;
    return renameat(dir->fd, from.c_str(), dir->fd, to.c_str()) == 0 ? 0 : errno;
}

int unpack_os_remove(unpack_dir *dir, const std::string &name)
{
    return unlinkat(dir->fd, name.c_str(), 0) == 0 ? 0 : errno;
}

void unpack_os_install_interrupt_cleanup()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = remove_temps_and_die;
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void unpack_os_withdraw_temp(unsigned slot)
{
    g_temp_slots[slot].active.store(0);
}

void unpack_os_block_interrupts(bool block)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

unpack_converter *unpack_os_open_converter(const std::string &name)
{
    const iconv_t descriptor = iconv_open("UTF-8", name.c_str());
    if (descriptor == reinterpret_cast<iconv_t>(-1))
        return nullptr;
    return new unpack_converter{descriptor};
}

bool unpack_os_convert(unpack_converter *converter, const char *bytes, size_t length, bool escape,
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
        out->append(escape ? escaped_byte(static_cast<unsigned char>(*in)) : REPLACEMENT_CHARACTER);
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

void unpack_os_close_converter(unpack_converter *converter)
{
    if (converter == nullptr)
        return;
    iconv_close(converter->descriptor);
    delete converter;
}

const char *unpack_os_name_problem(const std::string &)
{
    return nullptr;
}

#else /* _WIN32 */

struct unpack_dir {
    std::wstring path; /* absolute, with the \\?\ prefix that lifts the length limit */
};

struct unpack_file {
    HANDLE handle;
};

struct unpack_converter {
    UINT code_page;
};

namespace {

/* A path is written inside a creation section only. */
struct temp_slot {
    std::atomic<int> active;
    std::wstring path;
};

temp_slot g_temp_slots[UNPACK_OS_TEMP_SLOTS];

BOOL WINAPI remove_temps_on_console_event(DWORD)
{
    wait_out_creations();
    for (const temp_slot &slot : g_temp_slots) {
        if (slot.active.load())
            DeleteFileW(slot.path.c_str());
    }
    return FALSE; /* the default handler ends the process */
}

std::wstring wide(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::string narrow(const wchar_t *text, int length, UINT code_page, bool *lossless)
{
    if (length == 0)
        return std::string();
    BOOL used_default = FALSE;
    BOOL *flag = code_page == CP_UTF8 ? nullptr : &used_default;
    const DWORD options = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int size =
        WideCharToMultiByte(code_page, options, text, length, nullptr, 0, nullptr, flag);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(code_page, options, text, length, &out[0], size, nullptr, flag);
    if (lossless != nullptr)
        *lossless = !used_default;
    return out;
}

std::wstring child_path(const unpack_dir *dir, const std::string &name)
{
    return dir->path + L"\\" + wide(name);
}

int kind_of(const std::wstring &path, unpack_entry_kind *kind)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    *kind = UNPACK_ENTRY_NONE;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? 0
                   : static_cast<int>(error);
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        *kind = UNPACK_ENTRY_LINK;
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        *kind = UNPACK_ENTRY_FOLDER;
    else
        *kind = UNPACK_ENTRY_FILE;
    return 0;
}

int last_error()
{
    return static_cast<int>(GetLastError());
}

/* The absolute form of @path that lifts the 260-character limit. */
std::wstring long_path(const std::wstring &path)
{
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (full.compare(0, 4, L"\\\\?\\") == 0)
        return full;
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool is_reserved_device_name(const std::string &name)
{
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char &c : stem) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
           stem[3] >= '1' && stem[3] <= '9';
}

} // namespace

std::vector<std::string> unpack_os_arguments(int argc, char *argv[])
{
    int count = 0;
    wchar_t **wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_argv == nullptr)
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(
            narrow(wide_argv[i], static_cast<int>(wcslen(wide_argv[i])), CP_UTF8, nullptr));
    LocalFree(wide_argv);
    return arguments;
}

void unpack_os_prepare_console()
{
    SetConsoleOutputCP(CP_UTF8);
}

bool unpack_os_stderr_is_terminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::string unpack_os_error_text(int error)
{
    if (error < 0)
        return own_error_text(error);
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    if (length == 0)
        return "system error " + std::to_string(error);
    std::string out = narrow(text, static_cast<int>(length), CP_UTF8, nullptr);
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out;
}

std::string unpack_os_library_path(const std::string &path, bool *ok)
{
    const std::wstring wide_path = wide(path);
    return narrow(wide_path.c_str(), static_cast<int>(wide_path.size()), CP_ACP, ok);
}

size_t unpack_os_file_name_start(const std::string &path)
{
    const size_t separator = path.find_last_of("/\\:");
    return separator == std::string::npos ? 0 : separator + 1;
}

int unpack_os_open_root(const std::string &path, unpack_dir **dir, unsigned *created)
{
    *dir = nullptr;
    *created = 0;
    const std::wstring full = long_path(wide(path));
    /* Past the \\?\ prefix and the drive or share, each separator ends a folder to make. */
    const size_t first = full.find(L'\\', full.compare(0, 8, L"\\\\?\\UNC\\") == 0 ? 8 : 4);
    for (size_t end = first == std::wstring::npos ? full.size() : full.find(L'\\', first + 1);;
         end = full.find(L'\\', end + 1)) {
        const std::wstring prefix = full.substr(0, end);
        if (CreateDirectoryW(prefix.c_str(), nullptr))
            ++*created;
        else if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_ACCESS_DENIED)
            return last_error();
        if (end == std::wstring::npos)
            break;
    }
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return last_error();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return UNPACK_OS_ERR_NOT_FOLDER;
    *dir = new unpack_dir{full};
    return 0;
}

int unpack_os_open_folder(unpack_dir *parent, const std::string &name, unpack_dir **dir,
                          bool *created)
{
    *dir = nullptr;
    *created = false;
    const std::wstring path = child_path(parent, name);
    unpack_entry_kind kind;
    if (const int error = kind_of(path, &kind))
        return error;
    if (kind == UNPACK_ENTRY_NONE) {
        if (!CreateDirectoryW(path.c_str(), nullptr))
            return last_error();
        *created = true;
    } else if (kind == UNPACK_ENTRY_LINK) {
        return UNPACK_OS_ERR_LINK;
    } else if (kind != UNPACK_ENTRY_FOLDER) {
        return UNPACK_OS_ERR_NOT_FOLDER;
    }
    *dir = new unpack_dir{path};
    return 0;
}

void unpack_os_close_folder(unpack_dir *dir)
{
    delete dir;
}

int unpack_os_entry_kind(unpack_dir *dir, const std::string &name, unpack_entry_kind *kind)
{
    return kind_of(child_path(dir, name), kind);
}

int unpack_os_create_temp(unsigned slot, unpack_dir *dir, std::string *name, unpack_file **file)
{
    *file = nullptr;
    if (!begin_creation())
        return ERROR_OPERATION_ABORTED;
    temp_slot &entry = g_temp_slots[slot];
    int error = UNPACK_OS_ERR_EXISTS;
    for (unsigned attempt = 0; attempt < 100 && error == UNPACK_OS_ERR_EXISTS; ++attempt) {
        *name = temp_name_for(static_cast<unsigned long>(GetCurrentProcessId()), slot, attempt);
        entry.path = child_path(dir, *name);
        entry.active.store(1);
        /* Sharing deletion lets the console handler remove the file while it is written. */
        const HANDLE handle =
            CreateFileW(entry.path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        const DWORD failure = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        error = failure == ERROR_FILE_EXISTS || failure == ERROR_ALREADY_EXISTS
                    ? UNPACK_OS_ERR_EXISTS
                    : static_cast<int>(failure);
        if (handle != INVALID_HANDLE_VALUE)
            *file = new unpack_file{handle};
        else
            entry.active.store(0);
    }
    end_creation();
    return error;
}

int unpack_os_write(unpack_file *file, const uint8_t *bytes, size_t length)
{
    while (length > 0) {
        const DWORD chunk = static_cast<DWORD>(length < (1u << 30) ? length : (1u << 30));
        DWORD written = 0;
        if (!WriteFile(file->handle, bytes, chunk, &written, nullptr))
            return last_error();
        bytes += written;
        length -= written;
    }
    return 0;
}

int unpack_os_close_file(unpack_file *file, const unpack_file_details *details)
{
    int error = 0;
    if (details != nullptr && details->has_time) {
        /* 100-nanosecond ticks since 1601-01-01. */
        const uint64_t ticks = static_cast<uint64_t>(details->modified + 11644473600LL) * 10000000u;
        FILETIME time;
        time.dwLowDateTime = static_cast<DWORD>(ticks);
        time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        if (!SetFileTime(file->handle, nullptr, nullptr, &time))
            error = last_error();
    }
    if (details != nullptr && details->read_only && error == 0) {
        FILE_BASIC_INFO info = {}; /* times left at 0 are not changed */
        info.FileAttributes = FILE_ATTRIBUTE_READONLY;
        if (!SetFileInformationByHandle(file->handle, FileBasicInfo, &info, sizeof(info)))
            error = last_error();
    }
    if (!CloseHandle(file->handle) && error == 0)
        error = last_error();
    delete file;
    return error;
}

int unpack_os_rename(unpack_dir *dir, const std::string &from, const std::string &to, bool replace)
{
    const std::wstring target = child_path(dir, to);
    if (replace) {
        /* A read-only file cannot be replaced until it loses the attribute. */
        const DWORD attributes = GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
            !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            SetFileAttributesW(target.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    if (MoveFileExW(child_path(dir, from).c_str(), target.c_str(),
                    replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return 0;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? UNPACK_OS_ERR_EXISTS
                                                                       : static_cast<int>(error);
}

int unpack_os_remove(unpack_dir *dir, const std::string &name)
{
    return DeleteFileW(child_path(dir, name).c_str()) ? 0 : last_error();
}

void unpack_os_install_interrupt_cleanup()
{
    SetConsoleCtrlHandler(remove_temps_on_console_event, TRUE);
}

void unpack_os_withdraw_temp(unsigned slot)
{
    g_temp_slots[slot].active.store(0);
}

void unpack_os_block_interrupts(bool) {}

unpack_converter *unpack_os_open_converter(const std::string &name)
{
    size_t digits = 0;
    if (name.size() > 2 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'P' || name[1] == 'p'))
        digits = 2;
    if (digits == name.size() || name.size() - digits > 5 ||
        name.find_first_not_of("0123456789", digits) != std::string::npos)
        return nullptr;
    const UINT code_page = static_cast<UINT>(std::stoul(name.substr(digits)));
    if (!IsValidCodePage(code_page))
        return nullptr;
    return new unpack_converter{code_page};
}

bool unpack_os_convert(unpack_converter *converter, const char *bytes, size_t length, bool escape,
                       std::string *out)
{
    bool exact = true;
    wchar_t characters[2];
    for (size_t at = 0; at < length;) {
        const size_t size =
            IsDBCSLeadByteEx(converter->code_page, static_cast<BYTE>(bytes[at])) && at + 1 < length
                ? 2
                : 1;
        const int count = MultiByteToWideChar(converter->code_page, MB_ERR_INVALID_CHARS,
                                              bytes + at, static_cast<int>(size), characters, 2);
        if (count > 0) {
            out->append(narrow(characters, count, CP_UTF8, nullptr));
        } else {
            exact = false;
            out->append(escape ? escaped_byte(static_cast<unsigned char>(bytes[at]))
                               : REPLACEMENT_CHARACTER);
        }
        at += count > 0 ? size : 1;
    }
    return exact;
}

void unpack_os_close_converter(unpack_converter *converter)
{
    delete converter;
}

const char *unpack_os_name_problem(const std::string &name)
{
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*\\", c) != nullptr)
            return "a character Windows does not allow in a name";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "a name ending in a dot or a space";
    if (is_reserved_device_name(name))
        return "a Windows device name";
    return nullptr;
}

#endif
