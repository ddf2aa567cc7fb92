/*
 * options.h - varlix-unpack's command line, taken as GNU tools take theirs:
 * short options that may be clustered (-qo) and take their argument joined
 * or as the next word (-dDIR, -d DIR), long options with '=' or a separate
 * argument (--directory=DIR, --directory DIR), options anywhere among the
 * operands, and "--" ending the options.
 */
#ifndef VARLIX_UNPACK_OPTIONS_H
#define VARLIX_UNPACK_OPTIONS_H

#include <string>
#include <vector>

enum { UNPACK_MAX_JOBS = 64 };

struct unpack_options {
    std::string archive; /* an archive, a volume of a set, an engine container, or a folder */
    std::vector<std::string> volumes; /* --volume: volumes named for a set */
    std::vector<std::string> patterns;
    std::string directory; /* empty: the default, named after the archive */
    std::string code_page = "CP1252";
    unsigned jobs = 0; /* 0: as many as the machine has processors */
    bool list = false;
    bool json = false; /* implies list */
    bool test = false;
    bool overwrite = false;
    bool flat = false;
    bool to_stdout = false; /* -c: the members' bytes to standard output */
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

/* The text of --help, for standard output. */
extern const char UNPACK_HELP_TEXT[];

/*
 * unpack_parse_options() - fill @options from @args (the arguments after the
 * program's name). Returns true; or false with *@problem set to a one-line
 * description of the first mistake (an unknown option, a missing or
 * unwanted argument, a bad number of jobs, no archive, options that exclude
 * each other). The code page and the files are not checked here. With
 * --help or --version no archive is needed.
 */
bool unpack_parse_options(const std::vector<std::string> &args, unpack_options *options,
                          std::string *problem);

#endif
