#include "unpack/options.h"

const char UNPACK_HELP_TEXT[] =
    "Usage: varlix-unpack [options] <archive> [<pattern>...]\n"
    "       varlix-unpack [options] <folder> [<pattern>...]\n"
    "Extract, list or test every member of an InstallShield 3 installer: one\n"
    "archive (DATA.Z, _SETUP.LIB), any volume of a disk set (_SETUP.1 ...; the\n"
    "others are looked for beside it and in disk folders such as DISK2), or a\n"
    "setup engine container (_INST32I.EX_). Given a folder, every installer in\n"
    "it is found by its content, each into DIR/<its folder>/<its file name>/.\n"
    "Patterns (*, ?, [...], any case) select members by folder path or by name.\n"
    "\n"
    "  -d, --directory DIR  write into DIR (default: the archive's name less its\n"
    "                       extension, or <folder>-unpacked, in the current folder)\n"
    "  -l, --list           list the members instead of extracting them\n"
    "      --json           list as one JSON document\n"
    "  -t, --test           decode and check every member; write nothing\n"
    "  -c, --stdout         write the members' bytes to standard output\n"
    "  -o, --overwrite      replace existing files (default: keep them, a failure)\n"
    "      --flat           write every member into DIR itself, without folders\n"
    "      --volume FILE    take FILE as a volume of the set (repeatable)\n"
    "      --codepage CP    code page of the names (default CP1252; CP932, ...)\n"
    "  -j, --jobs N         decode N members at once (default: one per processor)\n"
    "  -q, --quiet          print failures only\n"
    "  -v, --verbose        print one line per member\n"
    "  -h, --help           print this help\n"
    "  -V, --version        print the version\n"
    "\n"
    "Exit codes: 0 ok, 1 usage, 2 cannot open, 3 not an archive, 4 bad directory,\n"
    "            5 no member matches, 6 damaged stream, 7 cannot write,\n"
    "            8 size mismatch, 9 read error or other failure.\n";

namespace {

/* What an option does: turn a switch on, or take an argument of one of these kinds. */
enum option_id {
    OPTION_SWITCH,
    OPTION_DIRECTORY,
    OPTION_CODEPAGE,
    OPTION_JOBS,
    OPTION_VOLUME,
};

struct option_spec {
    char short_name; /* 0: long only */
    const char *long_name;
    option_id id;
    bool unpack_options::*on;  /* with OPTION_SWITCH: the switch it turns on */
    bool unpack_options::*off; /* and the one it turns off, or null */
};

const option_spec OPTIONS[] = {
    {'d', "directory", OPTION_DIRECTORY, nullptr, nullptr},
    {'l', "list", OPTION_SWITCH, &unpack_options::list, nullptr},
    {0, "json", OPTION_SWITCH, &unpack_options::json, nullptr},
    {'t', "test", OPTION_SWITCH, &unpack_options::test, nullptr},
    {'c', "stdout", OPTION_SWITCH, &unpack_options::to_stdout, nullptr},
    {'o', "overwrite", OPTION_SWITCH, &unpack_options::overwrite, nullptr},
    {0, "flat", OPTION_SWITCH, &unpack_options::flat, nullptr},
    {0, "volume", OPTION_VOLUME, nullptr, nullptr},
    {0, "codepage", OPTION_CODEPAGE, nullptr, nullptr},
    {'j', "jobs", OPTION_JOBS, nullptr, nullptr},
    {'q', "quiet", OPTION_SWITCH, &unpack_options::quiet, &unpack_options::verbose},
    {'v', "verbose", OPTION_SWITCH, &unpack_options::verbose, &unpack_options::quiet},
    {'h', "help", OPTION_SWITCH, &unpack_options::help, nullptr},
    {'V', "version", OPTION_SWITCH, &unpack_options::version, nullptr},
};

bool takes_argument(const option_spec &entry)
{
    return entry.id != OPTION_SWITCH;
}

const option_spec *find_short(char name)
{
    for (const option_spec &entry : OPTIONS) {
        if (entry.short_name != 0 && entry.short_name == name)
            return &entry;
    }
    return nullptr;
}

const option_spec *find_long(const std::string &name)
{
    for (const option_spec &entry : OPTIONS) {
        if (name == entry.long_name)
            return &entry;
    }
    return nullptr;
}

bool parse_jobs(const std::string &text, unsigned *jobs)
{
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *jobs = static_cast<unsigned>(std::stoul(text));
    return *jobs >= 1 && *jobs <= UNPACK_MAX_JOBS;
}

bool apply(const option_spec &entry, const std::string &argument, unpack_options *options,
           std::string *problem)
{
    switch (entry.id) {
    case OPTION_SWITCH:
        options->*entry.on = true;
        if (entry.off != nullptr)
            options->*entry.off = false;
        break;
    case OPTION_DIRECTORY:
        options->directory = argument;
        if (argument.empty())
            *problem = "the folder given to --directory is empty";
        break;
    case OPTION_CODEPAGE:
        options->code_page = argument;
        break;
    case OPTION_VOLUME:
        options->volumes.push_back(argument);
        if (argument.empty())
            *problem = "the file given to --volume is empty";
        break;
    case OPTION_JOBS:
        if (!parse_jobs(argument, &options->jobs))
            *problem = "the number of jobs must be from 1 to " + std::to_string(UNPACK_MAX_JOBS) +
                       ", not '" + argument + "'";
        break;
    }
    return problem->empty();
}

/*
 * The argument of the option written @shown: @attached_text when its word held
 * one (@attached), else the next word, which is then taken. False, with the
 * problem set, when there is none.
 */
bool take_argument(const std::vector<std::string> &args, size_t *i,
                   const std::string &attached_text, bool attached, const std::string &shown,
                   std::string *argument, std::string *problem)
{
    if (attached) {
        *argument = attached_text;
        return true;
    }
    if (*i + 1 < args.size()) {
        *argument = args[++*i];
        return true;
    }
    *problem = "option '" + shown + "' needs an argument";
    return false;
}

/* A long option at args[*i], "--name" or "--name=value". */
bool parse_long(const std::vector<std::string> &args, size_t *i, unpack_options *options,
                std::string *problem)
{
    const std::string &word = args[*i];
    const size_t equals = word.find('=');
    const std::string name = word.substr(2, equals == std::string::npos ? equals : equals - 2);
    const option_spec *entry = find_long(name);
    if (entry == nullptr) {
        *problem = "unknown option '--" + name + "'";
        return false;
    }
    if (!takes_argument(*entry) && equals != std::string::npos) {
        *problem = "option '--" + name + "' takes no argument";
        return false;
    }
    std::string argument;
    const bool attached = equals != std::string::npos;
    if (takes_argument(*entry) && !take_argument(args, i, attached ? word.substr(equals + 1) : "",
                                                 attached, "--" + name, &argument, problem))
        return false;
    return apply(*entry, argument, options, problem);
}

/* A cluster of short options at args[*i], "-qo", "-dDIR" or "-d" with DIR next. */
bool parse_short(const std::vector<std::string> &args, size_t *i, unpack_options *options,
                 std::string *problem)
{
    const std::string &word = args[*i];
    for (size_t at = 1; at < word.size(); ++at) {
        const option_spec *entry = find_short(word[at]);
        if (entry == nullptr) {
            *problem = std::string("unknown option '-") + word[at] + "'";
            return false;
        }
        if (!takes_argument(*entry)) {
            if (!apply(*entry, "", options, problem))
                return false;
            continue;
        }
        std::string argument;
        if (!take_argument(args, i, word.substr(at + 1), at + 1 < word.size(),
                           std::string("-") + word[at], &argument, problem))
            return false;
        return apply(*entry, argument, options, problem);
    }
    return true;
}

} // namespace

bool unpack_parse_options(const std::vector<std::string> &args, unpack_options *options,
                          std::string *problem)
{
    problem->clear();
    std::vector<std::string> operands;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (options_ended || word.size() < 2 || word[0] != '-') {
            operands.push_back(word);
        } else if (word == "--") {
            options_ended = true;
        } else if (!(word[1] == '-' ? parse_long(args, &i, options, problem)
                                    : parse_short(args, &i, options, problem))) {
            return false;
        }
    }
    /* A JSON document is a listing. */
    options->list = options->list || options->json;
    if (options->help || options->version)
        return true;
    if (operands.empty()) {
        *problem = "no archive given";
        return false;
    }
    if (options->list && options->test) {
        *problem = "--list and --test exclude each other";
        return false;
    }
    if (options->to_stdout &&
        (options->list || options->test || options->flat || !options->directory.empty())) {
        *problem = "--stdout excludes --list, --json, --test, --flat and --directory";
        return false;
    }
    options->archive = operands[0];
    options->patterns.assign(operands.begin() + 1, operands.end());
    return true;
}
