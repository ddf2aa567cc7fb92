#include "cli/report.h"

#include <cstdarg>

std::FILE *g_log_file = nullptr;

void report(const char *format, ...)
{
    std::va_list args;
    std::va_list log_args;
    va_start(args, format);
    va_copy(log_args, args);

    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    if (g_log_file != nullptr) {
        std::vfprintf(g_log_file, format, log_args);
        std::fputc('\n', g_log_file);
        std::fflush(g_log_file);
    }

    va_end(log_args);
    va_end(args);
}
