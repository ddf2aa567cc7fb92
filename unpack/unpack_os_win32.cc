/*
 * unpack_os_win32.cc - varlix-unpack's operating system on Windows, through
 * the wide-character API and, where it has no call that works relative to a
 * folder, ntdll's: every folder is held as a handle, and each entry inside
 * the output folder is reached relative to its folder's handle
 * (NtCreateFile with a root directory), never through a reparse point; the
 * interrupt clean-up is a console control handler.
 */
#include "unpack/unpack_os.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <windows.h>
/* After windows.h, whose declarations they need. */
#include <shellapi.h>
#include <winternl.h>

#include "unpack/unpack_os_shared.h"
#include "unpack/win32_text.h"

struct unpack_dir {
    HANDLE handle;
};

struct unpack_file {
    HANDLE handle;
};

struct unpack_thread {
    HANDLE handle;
    void (*run)(void *argument);
    void *argument;
};

namespace {

/*
 * ntdll's calls, looked up when first needed rather than linked, so that the
 * program imports from no DLL beyond those every Windows has loaded.
 */
typedef NTSTATUS(NTAPI *query_directory_call)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                              PIO_STATUS_BLOCK, PVOID, ULONG,
                                              FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING,
                                              BOOLEAN);

struct ntdll_calls {
    decltype(&NtCreateFile) create_file;
    decltype(&NtSetInformationFile) set_information;
    query_directory_call query_directory;
    decltype(&RtlNtStatusToDosError) status_to_error;
};

template <typename Call>
Call ntdll_call(HMODULE ntdll, const char *name)
{
    /* Through a plain function type, the one cast between function types that says nothing. */
    return reinterpret_cast<Call>(
        reinterpret_cast<void (*)()>(ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr));
}

const ntdll_calls &ntdll()
{
    static const ntdll_calls calls = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll_calls{
            ntdll_call<decltype(&NtCreateFile)>(ntdll, "NtCreateFile"),
            ntdll_call<decltype(&NtSetInformationFile)>(ntdll, "NtSetInformationFile"),
            ntdll_call<query_directory_call>(ntdll, "NtQueryDirectoryFile"),
            ntdll_call<decltype(&RtlNtStatusToDosError)>(ntdll, "RtlNtStatusToDosError")};
    }();
    return calls;
}

/* FILE_RENAME_INFORMATION and FILE_DIRECTORY_INFORMATION, which the MinGW headers lack. */
struct rename_information {
    BOOLEAN replace_if_exists;
    HANDLE root_directory;
    ULONG name_length; /* in bytes */
    WCHAR name[1];
};

struct directory_information {
    ULONG next_entry_offset;
    ULONG file_index;
    LARGE_INTEGER times[4];
    LARGE_INTEGER end_of_file;
    LARGE_INTEGER allocation_size;
    ULONG attributes;
    ULONG name_length;
    WCHAR name[1];
};

const ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/* How an entry is opened relative to its folder. */
struct relative_open {
    ACCESS_MASK access;
    ULONG share;
    ULONG disposition; /* FILE_OPEN, FILE_CREATE or FILE_OPEN_IF */
    ULONG options;     /* FILE_DIRECTORY_FILE or FILE_NON_DIRECTORY_FILE */
};

/* A folder inside the output folder, opened or made. */
const relative_open FOLDER = {FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, SHARE_ALL,
                              FILE_OPEN_IF, FILE_DIRECTORY_FILE};
/* A folder opened again, for a listing of its own. */
const relative_open LISTING = {FILE_LIST_DIRECTORY, SHARE_ALL, FILE_OPEN, FILE_DIRECTORY_FILE};
/* A new temporary file; sharing deletion lets the console handler remove it while it is written. */
const relative_open NEW_TEMP = {GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, FILE_CREATE,
                                FILE_NON_DIRECTORY_FILE};
/* A file about to be renamed. */
const relative_open RENAMED = {DELETE, SHARE_ALL, FILE_OPEN, FILE_NON_DIRECTORY_FILE};
/* A file about to be deleted, or lose its read-only attribute. */
const relative_open DELETED = {DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL,
                               FILE_OPEN, FILE_NON_DIRECTORY_FILE};
/* A file whose attributes are to change. */
const relative_open ATTRIBUTES = {FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL,
                                  FILE_OPEN, FILE_NON_DIRECTORY_FILE};

int last_error()
{
    return static_cast<int>(GetLastError());
}

int error_of(NTSTATUS status)
{
    const ntdll_calls &nt = ntdll();
    return nt.status_to_error != nullptr ? static_cast<int>(nt.status_to_error(status))
                                         : ERROR_GEN_FAILURE;
}

bool is_one_part(const wchar_t *name, size_t length)
{
    if ((length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.'))
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (name[i] == L'\\' || name[i] == L'/')
            return false;
    }
    return true;
}

/*
 * Opens the entry @name (@length characters; one part of a path, or none for
 * @dir itself) inside the folder @dir as @how says, a reparse point at @name
 * being opened itself rather than followed. Returns 0 with *@handle set and,
 * when @created is given, *@created telling whether the entry was made; or
 * the Windows error.
 */
int open_relative(HANDLE dir, const wchar_t *name, size_t length, const relative_open &how,
                  HANDLE *handle, bool *created)
{
    *handle = INVALID_HANDLE_VALUE;
    if (!is_one_part(name, length))
        return ERROR_INVALID_NAME;
    if (length > 32767)
        return ERROR_FILENAME_EXCED_RANGE;
    const ntdll_calls &nt = ntdll();
    if (nt.create_file == nullptr)
        return ERROR_PROC_NOT_FOUND;
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<PWSTR>(name);
    object_name.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, dir, nullptr);
    IO_STATUS_BLOCK io = {};
    HANDLE opened = nullptr;
    const NTSTATUS status = nt.create_file(
        &opened, how.access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
        how.share, how.disposition,
        how.options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0)
        return error_of(status);
    *handle = opened;
    if (created != nullptr)
        *created = io.Information == FILE_CREATED;
    return 0;
}

int open_relative(HANDLE dir, const std::wstring &name, const relative_open &how, HANDLE *handle,
                  bool *created)
{
    return open_relative(dir, name.c_str(), name.size(), how, handle, created);
}

unpack_entry_kind kind_of_attributes(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return UNPACK_ENTRY_LINK;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? UNPACK_ENTRY_FOLDER : UNPACK_ENTRY_FILE;
}

/*
 * What the folder @dir's own listing says @name is: the entry itself, never
 * what a link there leads to. The listing's place is kept by the handle it
 * is read through, so it is read through a handle of its own: the folder's
 * is shared between threads.
 */
int listed_kind(HANDLE dir, const std::wstring &name, unpack_entry_kind *kind)
{
    *kind = UNPACK_ENTRY_NONE;
    const ntdll_calls &nt = ntdll();
    if (nt.query_directory == nullptr)
        return ERROR_PROC_NOT_FOUND;
    /* A pattern would list other entries. */
    if (name.empty() || name.size() > 32767 || !is_one_part(name.c_str(), name.size()) ||
        name.find_first_of(L"*?<>\"") != std::wstring::npos)
        return ERROR_INVALID_NAME;
    HANDLE listing;
    if (const int error = open_relative(dir, L"", 0, LISTING, &listing, nullptr))
        return error;
    alignas(directory_information) unsigned char
        buffer[sizeof(directory_information) + 1024 * sizeof(WCHAR)];
    UNICODE_STRING pattern;
    pattern.Buffer = const_cast<PWSTR>(name.c_str());
    pattern.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    pattern.MaximumLength = pattern.Length;
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status =
        nt.query_directory(listing, nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer),
                           FileDirectoryInformation, TRUE, &pattern, TRUE);
    CloseHandle(listing);
    if (status < 0) {
        const int error = error_of(status);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES ? 0 : error;
    }
    *kind = kind_of_attributes(reinterpret_cast<const directory_information *>(buffer)->attributes);
    return 0;
}

/* Takes the read-only attribute off the file open as @handle, if it has it. */
bool drop_read_only(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    FILE_BASIC_INFO basic = {}; /* times left at 0 are not changed */
    basic.FileAttributes = info.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != 0;
}

bool mark_for_deletion(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != 0;
}

/*
 * Deletes the file @name in @dir, read-only or not; a link there is deleted
 * itself. Allocates nothing, for the console handler. The file goes when the
 * last handle open on it is closed.
 */
int delete_relative(HANDLE dir, const wchar_t *name, size_t length)
{
    HANDLE handle;
    if (const int error = open_relative(dir, name, length, DELETED, &handle, nullptr))
        return error;
    int error = mark_for_deletion(handle) ? 0 : last_error();
    /* A read-only file can be deleted once it has lost the attribute. */
    if (error == ERROR_ACCESS_DENIED && drop_read_only(handle) && mark_for_deletion(handle))
        error = 0;
    CloseHandle(handle);
    return error;
}

/* Gives the file open as @file the name @to in the folder @dir. */
int rename_relative(HANDLE file, HANDLE dir, const std::wstring &to, bool replace)
{
    const ntdll_calls &nt = ntdll();
    if (nt.set_information == nullptr)
        return ERROR_PROC_NOT_FOUND;
    const size_t name_bytes = to.size() * sizeof(wchar_t);
    /* Never shorter than the record itself, which the system checks before the name's length. */
    const size_t size =
        std::max(sizeof(rename_information), offsetof(rename_information, name) + name_bytes);
    if (!is_one_part(to.c_str(), to.size()) || to.empty())
        return ERROR_INVALID_NAME;
    if (size > 65536)
        return ERROR_FILENAME_EXCED_RANGE;
    rename_information *info = static_cast<rename_information *>(std::calloc(1, size));
    if (info == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    info->replace_if_exists = replace ? TRUE : FALSE;
    info->root_directory = dir;
    info->name_length = static_cast<ULONG>(name_bytes);
    std::memcpy(info->name, to.c_str(), name_bytes);
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status =
        nt.set_information(file, &io, info, static_cast<ULONG>(size), FileRenameInformation);
    std::free(info);
    return status < 0 ? error_of(status) : 0;
}

/* Takes the read-only attribute off the file @name in @dir, a link there excepted. */
bool drop_read_only_relative(HANDLE dir, const std::wstring &name)
{
    HANDLE handle;
    if (open_relative(dir, name, ATTRIBUTES, &handle, nullptr) != 0)
        return false;
    const bool dropped = drop_read_only(handle);
    CloseHandle(handle);
    return dropped;
}

bool is_reparse_point(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

/*
 * Whether the folder just opened as @handle, at @name in @parent, is reached
 * through a link. Windows opens the reparse point itself, and its handle
 * says so; wine follows a Unix symbolic link whatever it is asked, but its
 * listing of the parent shows the link.
 */
bool is_link_to_folder(HANDLE parent, const std::wstring &name, HANDLE handle)
{
    if (is_reparse_point(handle))
        return true;
    unpack_entry_kind kind;
    return listed_kind(parent, name, &kind) == 0 && kind == UNPACK_ENTRY_LINK;
}

/* A folder and a file name in it, written inside a creation section only. */
struct temp_slot {
    std::atomic<int> active;
    HANDLE dir;
    wchar_t name[64];
    size_t name_length;
};

temp_slot g_temp_slots[UNPACK_OS_TEMP_SLOTS];

BOOL WINAPI remove_temps_on_console_event(DWORD)
{
    unpack_os_wait_out_creations();
    for (const temp_slot &slot : g_temp_slots) {
        if (slot.active.load())
            delete_relative(slot.dir, slot.name, slot.name_length);
    }
    return FALSE; /* the default handler ends the process, and the files go with its handles */
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
    /* The output folder as the user named it, links followed. */
    const HANDLE handle =
        CreateFileW(full.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                    SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return last_error();
    BY_HANDLE_FILE_INFORMATION info;
    int error = GetFileInformationByHandle(handle, &info) ? 0 : last_error();
    if (error == 0 && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        error = UNPACK_OS_ERR_NOT_FOLDER;
    if (error == 0 && (*dir = new (std::nothrow) unpack_dir{handle}) == nullptr)
        error = ERROR_NOT_ENOUGH_MEMORY;
    if (error != 0)
        CloseHandle(handle);
    return error;
}

int unpack_os_open_folder(unpack_dir *parent, const std::string &name, unpack_dir **dir,
                          bool *created)
{
    *dir = nullptr;
    *created = false;
    const std::wstring wide = unpack_win32_wide(name);
    HANDLE handle;
    int error = open_relative(parent->handle, wide, FOLDER, &handle, created);
    if (error == ERROR_DIRECTORY) {
        unpack_entry_kind kind;
        const bool link =
            listed_kind(parent->handle, wide, &kind) == 0 && kind == UNPACK_ENTRY_LINK;
        return link ? UNPACK_OS_ERR_LINK : UNPACK_OS_ERR_NOT_FOLDER;
    }
    if (error != 0)
        return error;
    if (!*created && is_link_to_folder(parent->handle, wide, handle))
        error = UNPACK_OS_ERR_LINK;
    else if ((*dir = new (std::nothrow) unpack_dir{handle}) == nullptr)
        error = ERROR_NOT_ENOUGH_MEMORY;
    if (error != 0)
        CloseHandle(handle);
    return error;
}

void unpack_os_close_folder(unpack_dir *dir)
{
    if (dir == nullptr)
        return;
    CloseHandle(dir->handle);
    delete dir;
}

int unpack_os_entry_kind(unpack_dir *dir, const std::string &name, unpack_entry_kind *kind)
{
    return listed_kind(dir->handle, unpack_win32_wide(name), kind);
}

int unpack_os_create_temp(unsigned slot, unpack_dir *dir, std::string *name, unpack_file **file)
{
    *file = nullptr;
    static const unsigned long process = static_cast<unsigned long>(GetCurrentProcessId());
    temp_slot &entry = g_temp_slots[slot];
    HANDLE handle = INVALID_HANDLE_VALUE;
    int error = UNPACK_OS_ERR_EXISTS;
    for (unsigned attempt = 0; attempt < 100 && error == UNPACK_OS_ERR_EXISTS; ++attempt) {
        *name = unpack_os_temp_name(process, slot, attempt);
        if (name->size() >= sizeof(entry.name) / sizeof(entry.name[0]))
            return ERROR_FILENAME_EXCED_RANGE;
        if (!unpack_os_begin_creation())
            return ERROR_OPERATION_ABORTED;
        entry.dir = dir->handle;
        entry.name_length = name->size();
        for (size_t i = 0; i < name->size(); ++i)
            entry.name[i] = static_cast<wchar_t>(static_cast<unsigned char>((*name)[i]));
        entry.active.store(1);
        error =
            open_relative(dir->handle, entry.name, entry.name_length, NEW_TEMP, &handle, nullptr);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            error = UNPACK_OS_ERR_EXISTS;
        if (error != 0)
            entry.active.store(0);
        unpack_os_end_creation();
    }
    if (error == 0 && (*file = new (std::nothrow) unpack_file{handle}) == nullptr) {
        mark_for_deletion(handle);
        CloseHandle(handle);
        entry.active.store(0);
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return error;
}

unpack_file *unpack_os_standard_output()
{
    /* The handle is written directly, so the C runtime's text mode must not touch it either. */
    _setmode(_fileno(stdout), _O_BINARY);
    static unpack_file standard_output = {GetStdHandle(STD_OUTPUT_HANDLE)};
    return &standard_output;
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
    HANDLE file;
    if (const int error =
            open_relative(dir->handle, unpack_win32_wide(from), RENAMED, &file, nullptr))
        return error;
    const std::wstring target = unpack_win32_wide(to);
    int error = rename_relative(file, dir->handle, target, replace);
    /* A read-only file cannot be replaced until it loses the attribute. */
    if (error == ERROR_ACCESS_DENIED && replace && drop_read_only_relative(dir->handle, target))
        error = rename_relative(file, dir->handle, target, replace);
    CloseHandle(file);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? UNPACK_OS_ERR_EXISTS
                                                                       : error;
}

int unpack_os_remove(unpack_dir *dir, const std::string &name)
{
    const std::wstring wide = unpack_win32_wide(name);
    return delete_relative(dir->handle, wide.c_str(), wide.size());
}

void unpack_os_install_interrupt_cleanup()
{
    ntdll(); /* looked up before the handler may need it */
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

void unpack_os_ignore_broken_pipes()
{
    /* Windows has no such signal: the write fails by itself. */
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

namespace {

unsigned __stdcall run_thread(void *thread)
{
    unpack_thread *self = static_cast<unpack_thread *>(thread);
    self->run(self->argument);
    return 0;
}

} // namespace

int unpack_os_start_thread(void (*run)(void *argument), void *argument, unpack_thread **thread)
{
    *thread = new (std::nothrow) unpack_thread{nullptr, run, argument};
    if (*thread == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    /* The C runtime's own thread start, so that its per-thread state is made for the thread. */
    const uintptr_t handle = _beginthreadex(nullptr, 0, run_thread, *thread, 0, nullptr);
    if (handle == 0) {
        delete *thread;
        *thread = nullptr;
        return last_error();
    }
    (*thread)->handle = reinterpret_cast<HANDLE>(handle);
    return 0;
}

void unpack_os_join_thread(unpack_thread *thread)
{
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

namespace {

/* What a found entry is; a reparse point (a link, a junction) is never followed to a folder. */
unpack_entry_kind sweep_kind(const WIN32_FIND_DATAW &entry)
{
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? UNPACK_ENTRY_LINK : UNPACK_ENTRY_FILE;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? UNPACK_ENTRY_FOLDER : UNPACK_ENTRY_FILE;
}

} // namespace

int unpack_os_list_folder(const std::string &path, std::vector<unpack_os_entry> *entries)
{
    entries->clear();
    const std::wstring pattern = long_path(unpack_win32_wide(path)) + L"\\*";
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return last_error();
    do {
        const std::string name = unpack_win32_narrow(
            entry.cFileName, static_cast<int>(wcslen(entry.cFileName)), CP_UTF8, nullptr);
        if (name != "." && name != "..")
            entries->push_back({name, sweep_kind(entry)});
    } while (FindNextFileW(search, &entry));
    const DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(error);
}

int unpack_os_read_start(const std::string &path, uint8_t *bytes, size_t count, size_t *got)
{
    *got = 0;
    const HANDLE file = CreateFileW(long_path(unpack_win32_wide(path)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return last_error();
    int error = GetFileType(file) == FILE_TYPE_DISK ? 0 : ERROR_INVALID_FUNCTION;
    DWORD read_now = 0;
    if (error == 0 && !ReadFile(file, bytes, static_cast<DWORD>(count), &read_now, nullptr))
        error = last_error();
    *got = read_now;
    CloseHandle(file);
    return error;
}

int unpack_os_identify(const std::string &path, unpack_os_identity *identity)
{
    const HANDLE file =
        CreateFileW(long_path(unpack_win32_wide(path)).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return last_error();
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    const int error = known ? 0 : last_error();
    CloseHandle(file);
    if (known)
        *identity = {info.dwVolumeSerialNumber,
                     static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
    return error;
}

bool unpack_os_is_folder(const std::string &path)
{
    const DWORD attributes = GetFileAttributesW(long_path(unpack_win32_wide(path)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
