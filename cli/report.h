/*
 * report.h - diagnostic lines and the log file.
 *
 * Every event is one line on standard error, mirrored into the log when one
 * is open. There are no levels, prefixes or time stamps.
 */
#ifndef VARLIX_CLI_REPORT_H
#define VARLIX_CLI_REPORT_H

#include <cstdio>

/* The log stream named by --log, or null. Set once before any command runs. */
extern std::FILE *g_log_file;

#if defined(__MINGW32__)
/*
 * MinGW-w64 routes the printf family to its own C99 implementation (which
 * knows %zu) and names that format __MINGW_PRINTF_FORMAT; plain "printf"
 * would be checked against the older Microsoft runtime's rules.
 */
#define VARLIX_PRINTF_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define VARLIX_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define VARLIX_PRINTF_FORMAT(f, a)
#endif

/*
 * report() - format one line with printf rules, write it and a newline to
 * standard error and, when the log is open, to the log, which is flushed at
 * once so that the line survives whatever happens next. Write errors are not
 * detected.
 */
void report(const char *format, ...) VARLIX_PRINTF_FORMAT(1, 2);

#endif
