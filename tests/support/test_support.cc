#include "tests/support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

} // namespace

std::string varlix_executable()
{
    const char *override_path = std::getenv("VARLIX_EXE");
    if (override_path != nullptr && *override_path != '\0')
        return override_path;
    return VARLIX_EXE;
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

    char capture_dir[] = "/tmp/varlix-run-XXXXXX";
    if (mkdtemp(capture_dir) == nullptr)
        return {-1, "", "mkdtemp failed"};
    const std::string out_path = std::string(capture_dir) + "/out";
    const std::string err_path = std::string(capture_dir) + "/err";

    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0)
        exec_child(argv, cwd, out_path, err_path);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);

    run_result result;
    result.exit_code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    result.out = read_file_text(out_path);
    result.err = read_file_text(err_path);
    fs::remove_all(capture_dir);
    return result;
}

} // namespace

run_result run_varlix(const std::vector<std::string> &args, const std::string &cwd,
                      const std::vector<std::string> &launcher)
{
    return run_program(varlix_executable(), args, cwd, launcher);
}

run_result run_unpack(const std::vector<std::string> &args, const std::string &cwd)
{
    return run_program(unpack_executable(), args, cwd, {});
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
    char pattern[] = "/tmp/varlix-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
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
