/*
 * unpack_os.cc - what varlix-unpack's platform files share (unpack_os_shared.h).
 */
#include "unpack/unpack_os.h"

#include <atomic>
#include <cstring>

#include "unpack/names.h"
#include "unpack/unpack_os_shared.h"

namespace {

const char TEMP_PREFIX[] = ".varlix-unpack-";
const char TEMP_SUFFIX[] = ".tmp";

} // namespace

bool unpack_os_is_temp_name(const std::string &name)
{
    const size_t prefix = std::strlen(TEMP_PREFIX), suffix = std::strlen(TEMP_SUFFIX);
    if (name.size() < prefix + suffix)
        return false;
    const std::string folded = unpack_fold_case(name);
    return folded.compare(0, prefix, TEMP_PREFIX) == 0 &&
           folded.compare(folded.size() - suffix, suffix, TEMP_SUFFIX) == 0;
}

std::string unpack_os_temp_name(unsigned long process, unsigned slot, unsigned attempt)
{
    std::string name = TEMP_PREFIX + std::to_string(process) + "-" + std::to_string(slot);
    if (attempt != 0)
        name += "-" + std::to_string(attempt);
    return name + TEMP_SUFFIX;
}

namespace {

std::atomic<int> g_creating{0};
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "a signal handler may use only lock-free atomics");

} // namespace

bool unpack_os_begin_creation()
{
    g_creating.fetch_add(1);
    if (!g_interrupted.load())
        return true;
    g_creating.fetch_sub(1);
    return false;
}

void unpack_os_end_creation()
{
    g_creating.fetch_sub(1);
}

void unpack_os_wait_out_creations()
{
    g_interrupted.store(true);
    while (g_creating.load() != 0) {
    }
}

const char *unpack_os_own_error_text(int error)
{
    switch (error) {
    case UNPACK_OS_ERR_LINK:
        return "a symbolic link is in the way";
    case UNPACK_OS_ERR_NOT_FOLDER:
        return "a file is in the way";
    case UNPACK_OS_ERR_EXISTS:
        return "the name is taken";
    default:
        return "unknown error";
    }
}

bool unpack_file_output_take(void *context, const uint8_t *bytes, size_t length)
{
    unpack_file_output *output = static_cast<unpack_file_output *>(context);
    output->error = unpack_os_write(output->file, bytes, length);
    return output->error == 0;
}
