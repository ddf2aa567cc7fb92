#include "tests/support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VARLIX_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARLIX_UNDER_ASAN 1
#endif
#endif
#ifndef VARLIX_UNDER_ASAN
#define VARLIX_UNDER_ASAN 0
#endif

namespace fs = std::filesystem;

namespace {

std::vector<std::string> split_words(const char *text)
{
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;)
        words.push_back(word);
    return words;
}

/* A new, empty directory under the system's temporary folder, or "" on failure. */
std::string make_scratch_dir(const std::string &prefix)
{
    std::random_device random;
    std::error_code error;
    const fs::path temporary = fs::temp_directory_path(error);
    for (int attempt = 0; attempt < 100 && !error; ++attempt) {
        const fs::path candidate = temporary / (prefix + std::to_string(random()));
        if (fs::create_directory(candidate, error))
            return candidate.string();
    }
    return "";
}

/* Runs @argv with standard output and standard error to files; the exit code or -1. */
int run_process(const std::vector<std::string> &argv, const std::string &cwd,
                const std::string &out_path, const std::string &err_path);

#if defined(_WIN32)

/* One argument quoted as the C runtime's command-line parser expects. */
std::string quote_argument(const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

HANDLE inheritable_file(const std::string &path)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

int run_process(const std::vector<std::string> &argv, const std::string &cwd,
                const std::string &out_path, const std::string &err_path)
{
    std::string command_line;
    for (const std::string &arg : argv)
        command_line += (command_line.empty() ? "" : " ") + quote_argument(arg);
    const HANDLE out = inheritable_file(out_path);
    const HANDLE err = inheritable_file(err_path);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    DWORD exit_code = static_cast<DWORD>(-1);
    if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
        CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                       cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
    return static_cast<int>(exit_code);
}

/* The tests expect the line ends of POSIX text streams. */
std::string without_carriage_returns(std::string text)
{
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

#else

[[noreturn]] void exec_child(const std::vector<std::string> &argv, const std::string &cwd,
                             const std::string &out_path, const std::string &err_path)
{
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
        _exit(127);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(127);
    std::vector<char *> pointers;
    for (const std::string &arg : argv)
        pointers.push_back(const_cast<char *>(arg.c_str()));
    pointers.push_back(nullptr);
    execvp(pointers[0], pointers.data());
    _exit(127);
}

int run_process(const std::vector<std::string> &argv, const std::string &cwd,
                const std::string &out_path, const std::string &err_path)
{
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0)
        exec_child(argv, cwd, out_path, err_path);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

std::string without_carriage_returns(std::string text)
{
    return text;
}

#endif

} // namespace

std::string varlix_executable()
{
    const char *override_path = std::getenv("VARLIX_EXE");
    if (override_path != nullptr && *override_path != '\0')
        return override_path;
    return VARLIX_EXE;
}

namespace {

bool is_windows_program(const std::string &executable)
{
    const std::string suffix = ".exe";
    return executable.size() >= suffix.size() &&
           executable.compare(executable.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

bool varlix_is_windows_program()
{
    return is_windows_program(varlix_executable());
}

bool unpack_is_windows_program()
{
    return is_windows_program(unpack_executable());
}

std::string unpack_executable()
{
    const char *override_path = std::getenv("VARLIX_UNPACK_EXE");
    if (override_path != nullptr && *override_path != '\0')
        return override_path;
    return VARLIX_UNPACK_EXE;
}

bool varlix_runs_wrapped()
{
    const char *wrapper = std::getenv("VARLIX_TEST_WRAPPER");
    return wrapper != nullptr && !split_words(wrapper).empty();
}

namespace {

run_result run_program(const std::string &executable, const std::vector<std::string> &args,
                       const std::string &cwd, const std::vector<std::string> &launcher)
{
    std::vector<std::string> argv = launcher;
    if (const char *wrapper = std::getenv("VARLIX_TEST_WRAPPER")) {
        const std::vector<std::string> words = split_words(wrapper);
        argv.insert(argv.end(), words.begin(), words.end());
    }
    argv.push_back(executable);
    argv.insert(argv.end(), args.begin(), args.end());

    const std::string capture_dir = make_scratch_dir("varlix-run-");
    if (capture_dir.empty())
        return {-1, "", "no scratch folder for the output"};
    const std::string out_path = capture_dir + "/out";
    const std::string err_path = capture_dir + "/err";
    run_result result;
    result.exit_code = run_process(argv, cwd, out_path, err_path);
    result.out = without_carriage_returns(read_file_text(out_path));
    result.err = without_carriage_returns(read_file_text(err_path));
    std::error_code error;
    fs::remove_all(capture_dir, error);
    return result;
}

} // namespace

bool address_space_limits_unusable(std::string *reason)
{
    if (VARLIX_UNDER_ASAN)
        *reason = "AddressSanitizer reserves far more address space than any ulimit -v allows";
    else if (varlix_runs_wrapped())
        *reason = "VARLIX_TEST_WRAPPER is set, and a wrapper such as valgrind cannot run under "
                  "ulimit -v";
    return !reason->empty();
}

std::vector<std::string> memory_limit(uint64_t limit)
{
    return {"sh", "-c", "ulimit -v " + std::to_string(limit / 1024) + " && exec \"$@\"", "sh"};
}

run_result run_varlix(const std::vector<std::string> &args, const std::string &cwd,
                      const std::vector<std::string> &launcher)
{
    return run_program(varlix_executable(), args, cwd, launcher);
}

run_result run_unpack(const std::vector<std::string> &args, const std::string &cwd,
                      const std::vector<std::string> &launcher)
{
    return run_program(unpack_executable(), args, cwd, launcher);
}

run_result run_wrapped(const std::vector<std::string> &args)
{
    if (args.empty())
        return {-1, "", "nothing to run"};
    return run_program(args[0], std::vector<std::string>(args.begin() + 1, args.end()), "", {});
}

std::string read_file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> read_file_bytes(const std::string &path)
{
    const std::string text = read_file_text(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool path_exists(const std::string &path)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool resize_file(const std::string &path, uint64_t size)
{
    std::error_code error;
    fs::resize_file(path, size, error);
    return !error;
}

std::string file_or_missing(const std::string &path)
{
    return path_exists(path) ? read_file_text(path) : "<missing>";
}

std::vector<uint8_t> sample_text(size_t size, uint64_t seed)
{
    static const char *const WORDS[] = {
        "the ",    "archive ", "member ", "of ",   "installer ",  "file ",   "and ",
        "to ",     "data ",    "setup ",  "a ",    "is ",         "window ", "in ",
        "stream ", "copy ",    "bytes ",  "\n",    "program ",    "disk ",   "version ",
        "with ",   "for ",     "this ",   "that ", "compressed ", "1998 ",   "README ",
    };
    const size_t word_count = sizeof(WORDS) / sizeof(WORDS[0]);
    const std::vector<uint8_t> picks = random_bytes(size, seed);
    std::vector<uint8_t> text;
    for (size_t i = 0; text.size() < size; ++i) {
        const char *word = WORDS[picks[i % picks.size()] % word_count];
        for (; *word != '\0' && text.size() < size; ++word)
            text.push_back(static_cast<uint8_t>(*word));
    }
    return text;
}

void ScratchDirTest::SetUp()
{
    dir = make_scratch_dir("varlix-test-");
    ASSERT_FALSE(dir.empty());
}

void ScratchDirTest::TearDown()
{
    std::error_code error;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(dir, error);
}

std::string ScratchDirTest::path(const std::string &name) const
{
    return dir + "/" + name;
}

bool make_symbolic_link(const std::string &target, const std::string &link)
{
    std::error_code error;
    fs::create_symlink(target, link, error);
    return !error;
}

bool is_kind(const std::string &path, fs::file_type kind)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() == kind && !error;
}

#if defined(_WIN32)

bool make_device_node(const std::string &, unsigned, unsigned)
{
    return false;
}

int make_held_fifo(const std::string &)
{
    return -1;
}

std::string drain_held_fifo(int)
{
    return "";
}

void release_held_fifo(int) {}

#else

bool make_device_node(const std::string &path, unsigned major, unsigned minor)
{
    return mknod(path.c_str(), S_IFCHR | 0666, makedev(major, minor)) == 0;
}

int make_held_fifo(const std::string &path)
{
    if (mkfifo(path.c_str(), 0600) != 0)
        return -1;
    return open(path.c_str(), O_RDWR | O_NONBLOCK);
}

std::string drain_held_fifo(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

void release_held_fifo(int fd)
{
    if (fd >= 0)
        close(fd);
}

#endif
