/*
 * unpack_os_posix.cc - varlix-unpack's operating system on POSIX systems:
 * folders held as descriptors and reached with openat() and O_NOFOLLOW, the
 * interrupt clean-up as a signal handler.
 */
#include "unpack/unpack_os.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unpack/unpack_os_shared.h"

struct unpack_dir {
    int fd;
};

struct unpack_file {
    int fd;
};

struct unpack_thread {
    pthread_t id;
    void (*run)(void *argument);
    void *argument;
};

namespace {

/* A name and its folder are written inside a creation section only. */
struct temp_slot {
    std::atomic<int> active;
    int dir_fd;
    char name[64];
};

temp_slot g_temp_slots[UNPACK_OS_TEMP_SLOTS];

const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void cleanup_signal_set(sigset_t *signals)
{
    sigemptyset(signals);
    for (const int signal_number : CLEANUP_SIGNALS)
        sigaddset(signals, signal_number);
}

/*
 * Every clean-up signal is blocked while this runs, so a second one cannot
 * cut the sweep short; it waits, as does the one raised here with the
 * default action back in place, until the handler returns and ends the
 * process.
 */
void remove_temps_and_die(int signal_number)
{
    unpack_os_wait_out_creations();
    for (temp_slot &slot : g_temp_slots) {
        if (slot.active.load())
            unlinkat(slot.dir_fd, slot.name, 0);
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    raise(signal_number);
}

/* A handle for the descriptor @fd, or null, with @fd closed, when there is no memory for one. */
template <typename handle>
handle *wrap_descriptor(int fd)
{
    handle *wrapped = new (std::nothrow) handle{fd};
    if (wrapped == nullptr)
        close(fd);
    return wrapped;
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
    return error > 0 ? std::strerror(error) : unpack_os_own_error_text(error);
}

std::string unpack_os_library_path(const std::string &path, bool *ok)
{
    *ok = true;
    return path;
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
    *dir = wrap_descriptor<unpack_dir>(fd);
    return *dir != nullptr ? 0 : ENOMEM;
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
        *dir = wrap_descriptor<unpack_dir>(fd);
        return *dir != nullptr ? 0 : ENOMEM;
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

namespace {

void *run_thread(void *thread)
{
    unpack_thread *self = static_cast<unpack_thread *>(thread);
    self->run(self->argument);
    return nullptr;
}

} // namespace

int unpack_os_start_thread(void (*run)(void *argument), void *argument, unpack_thread **thread)
{
    *thread = new (std::nothrow) unpack_thread{pthread_t(), run, argument};
    if (*thread == nullptr)
        return ENOMEM;
    const int error = pthread_create(&(*thread)->id, nullptr, run_thread, *thread);
    if (error != 0) {
        delete *thread;
        *thread = nullptr;
    }
    return error;
}

void unpack_os_join_thread(unpack_thread *thread)
{
    pthread_join(thread->id, nullptr);
    delete thread;
}

int unpack_os_create_temp(unsigned slot, unpack_dir *dir, std::string *name, unpack_file **file)
{
    *file = nullptr;
    static const unsigned long process = static_cast<unsigned long>(getpid());
    temp_slot &entry = g_temp_slots[slot];
    int fd = -1, error = UNPACK_OS_ERR_EXISTS;
    for (unsigned attempt = 0; attempt < 100 && error == UNPACK_OS_ERR_EXISTS; ++attempt) {
        *name = unpack_os_temp_name(process, slot, attempt);
        /* Nothing in the section allocates: the handler may have stopped a thread in malloc. */
        if (!unpack_os_begin_creation())
            return EINTR;
        entry.dir_fd = dir->fd;
        std::snprintf(entry.name, sizeof(entry.name), "%s", name->c_str());
        entry.active.store(1);
        fd = openat(dir->fd, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0666);
        error = fd >= 0 ? 0 : errno == EEXIST ? UNPACK_OS_ERR_EXISTS : errno;
        if (fd < 0)
            entry.active.store(0);
        unpack_os_end_creation();
    }
    if (fd < 0)
        return error;
    *file = wrap_descriptor<unpack_file>(fd);
    if (*file != nullptr)
        return 0;
    unlinkat(dir->fd, name->c_str(), 0);
    entry.active.store(0);
    return ENOMEM;
}

unpack_file *unpack_os_standard_output()
{
    static unpack_file standard_output = {STDOUT_FILENO};
    return &standard_output;
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
    cleanup_signal_set(&action.sa_mask);
    for (const int signal_number : CLEANUP_SIGNALS) {
        /* A signal ignored by whoever started the program (nohup, a background job) stays so. */
        struct sigaction before;
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

void unpack_os_withdraw_temp(unsigned slot)
{
    g_temp_slots[slot].active.store(0);
}

void unpack_os_block_interrupts(bool block)
{
    sigset_t signals;
    cleanup_signal_set(&signals);
    pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

const char *unpack_os_name_problem(const std::string &)
{
    return nullptr;
}

void unpack_os_ignore_broken_pipes()
{
    signal(SIGPIPE, SIG_IGN);
}

int unpack_os_local_time_to_utc(const std::tm &local, int64_t *seconds)
{
    std::tm wall = local;
    wall.tm_isdst = -1; /* whatever the zone's rules say for that day */
    errno = 0;
    const std::time_t result = std::mktime(&wall);
    if (result == static_cast<std::time_t>(-1))
        return errno != 0 ? errno : EOVERFLOW;
    *seconds = static_cast<int64_t>(result);
    return 0;
}

bool unpack_os_is_no_room(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

namespace {

unpack_entry_kind kind_of_mode(mode_t mode)
{
    if (S_ISREG(mode))
        return UNPACK_ENTRY_FILE;
    if (S_ISDIR(mode))
        return UNPACK_ENTRY_FOLDER;
    return S_ISLNK(mode) ? UNPACK_ENTRY_LINK : UNPACK_ENTRY_OTHER;
}

/* A link is read when it leads to a regular file, and never followed to a folder. */
unpack_entry_kind sweep_kind(int dir_fd, const char *name)
{
    struct stat info;
    if (fstatat(dir_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return UNPACK_ENTRY_OTHER;
    const unpack_entry_kind kind = kind_of_mode(info.st_mode);
    if (kind != UNPACK_ENTRY_LINK)
        return kind;
    if (fstatat(dir_fd, name, &info, 0) == 0 && S_ISREG(info.st_mode))
        return UNPACK_ENTRY_FILE;
    return UNPACK_ENTRY_LINK;
}

} // namespace

int unpack_os_list_folder(const std::string &path, std::vector<unpack_os_entry> *entries)
{
    entries->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    DIR *listing = fdopendir(fd);
    if (listing == nullptr) {
        const int error = errno;
        close(fd);
        return error;
    }
    errno = 0;
    while (const struct dirent *entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            entries->push_back({entry->d_name, sweep_kind(fd, entry->d_name)});
        errno = 0;
    }
    const int error = errno;
    closedir(listing);
    return error;
}

int unpack_os_read_start(const std::string &path, uint8_t *bytes, size_t count, size_t *got)
{
    *got = 0;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat info;
    int error = fstat(fd, &info) == 0 ? (S_ISREG(info.st_mode) ? 0 : EINVAL) : errno;
    while (error == 0 && *got < count) {
        const ssize_t read_now = read(fd, bytes + *got, count - *got);
        if (read_now < 0 && errno == EINTR)
            continue;
        if (read_now <= 0) {
            error = read_now < 0 ? errno : 0;
            break;
        }
        *got += static_cast<size_t>(read_now);
    }
    close(fd);
    return error;
}

int unpack_os_identify(const std::string &path, unpack_os_identity *identity)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return errno;
    *identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return 0;
}

bool unpack_os_is_folder(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
