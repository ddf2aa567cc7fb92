/*
 * cli.h - the tool's entry and its two commands.
 */
#ifndef VARLIX_CLI_CLI_H
#define VARLIX_CLI_CLI_H

/*
 * cli_main() - run the tool on the process's arguments (@argv[0] is the
 * program's own name) and return the process exit code: opens the log named
 * by the first "--log" that has an argument after it, runs the list or the
 * extract command or prints the usage text, and closes the log.
 */
int cli_main(int argc, char *argv[]);

/* cli_list() - print the member listing of @archive_path; returns the exit code. */
int cli_list(const char *archive_path);

/*
 * cli_extract() - extract @member_name of @archive_path to @output_path,
 * reporting each step; returns the exit code.
 */
int cli_extract(const char *archive_path, const char *member_name, const char *output_path);

struct arc_archive;

/*
 * cli_open_archive() - the commands' common first step: open @archive_path
 * into @archive. Returns true on success. On failure it reports the path and
 * the status in one line, releases @archive, sets @exit_code to the status's
 * exit code and returns false.
 */
bool cli_open_archive(const char *archive_path, arc_archive *archive, int *exit_code);

#endif
