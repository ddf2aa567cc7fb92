/*
 * unpack_os_win32.cc - varlix-unpack's operating system on Windows, through
 * the wide-character API: folders held as long paths, the interrupt clean-up
 * as a console control handler.
 */
#include "unpack/unpack_os.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include <windows.h>
/* After windows.h, whose declarations it needs. */
#include <shellapi.h>

#include "unpack/unpack_os_shared.h"
#include "unpack/win32_text.h"

struct unpack_dir {
    std::wstring path; /* absolute, with the \\?\ prefix that lifts the length limit */
};

struct unpack_file {
    HANDLE handle;
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
    unpack_os_wait_out_creations();
    for (const temp_slot &slot : g_temp_slots) {
        if (slot.active.load())
            DeleteFileW(slot.path.c_str());
    }
    return FALSE; /* the default handler ends the process */
}

std::wstring child_path(const unpack_dir *dir, const std::string &name)
{
    return dir->path + L"\\" + unpack_win32_wide(name);
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

/* FILETIME counts 100-nanosecond ticks from 1601-01-01 00:00 UTC. */
const int64_t SECONDS_FROM_1601_TO_1970 = 11644473600LL;

FILETIME file_time_of(int64_t seconds)
{
    const uint64_t ticks = static_cast<uint64_t>(seconds + SECONDS_FROM_1601_TO_1970) * 10000000u;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

int64_t seconds_of(const FILETIME &time)
{
    const uint64_t ticks = static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000u) - SECONDS_FROM_1601_TO_1970;
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

std::wstring unpack_win32_wide(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::string unpack_win32_narrow(const wchar_t *text, int length, UINT code_page, bool *lossless)
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

std::vector<std::string> unpack_os_arguments(int argc, char *argv[])
{
    int count = 0;
    wchar_t **wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide_argv == nullptr)
        return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(unpack_win32_narrow(
            wide_argv[i], static_cast<int>(wcslen(wide_argv[i])), CP_UTF8, nullptr));
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
        return unpack_os_own_error_text(error);
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    if (length == 0)
        return "system error " + std::to_string(error);
    std::string out = unpack_win32_narrow(text, static_cast<int>(length), CP_UTF8, nullptr);
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out;
}

std::string unpack_os_library_path(const std::string &path, bool *ok)
{
    const std::wstring wide_path = unpack_win32_wide(path);
    return unpack_win32_narrow(wide_path.c_str(), static_cast<int>(wide_path.size()), CP_ACP, ok);
}

int unpack_os_open_root(const std::string &path, unpack_dir **dir, unsigned *created)
{
    *dir = nullptr;
    *created = 0;
    const std::wstring full = long_path(unpack_win32_wide(path));
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
    if (!unpack_os_begin_creation())
        return ERROR_OPERATION_ABORTED;
    temp_slot &entry = g_temp_slots[slot];
    int error = UNPACK_OS_ERR_EXISTS;
    for (unsigned attempt = 0; attempt < 100 && error == UNPACK_OS_ERR_EXISTS; ++attempt) {
        *name =
            unpack_os_temp_name(static_cast<unsigned long>(GetCurrentProcessId()), slot, attempt);
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
    unpack_os_end_creation();
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
        const FILETIME time = file_time_of(details->modified);
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

int unpack_os_local_time_to_utc(const std::tm &local, int64_t *seconds)
{
    SYSTEMTIME wall = {};
    wall.wYear = static_cast<WORD>(local.tm_year + 1900);
    wall.wMonth = static_cast<WORD>(local.tm_mon + 1);
    wall.wDay = static_cast<WORD>(local.tm_mday);
    wall.wHour = static_cast<WORD>(local.tm_hour);
    wall.wMinute = static_cast<WORD>(local.tm_min);
    wall.wSecond = static_cast<WORD>(local.tm_sec);
    /*
     * The C runtime's mktime() would read TZ, which it understands only as
     * "EST5EDT"; LocalFileTimeToFileTime() would apply today's offset to
     * every date. The system's zone, with that year's rules, is what a
     * Windows program shows the time in.
     */
    TIME_ZONE_INFORMATION zone;
    SYSTEMTIME utc;
    FILETIME time;
    if (!GetTimeZoneInformationForYear(wall.wYear, nullptr, &zone) ||
        !TzSpecificLocalTimeToSystemTime(&zone, &wall, &utc) || !SystemTimeToFileTime(&utc, &time))
        return last_error();
    *seconds = seconds_of(time);
    return 0;
}

bool unpack_os_is_no_room(int error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}
