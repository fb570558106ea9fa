#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>

#include "cli/kevo_cli.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

bool listed(const std::vector<kevo_option>& options, int code)
{
    for (const kevo_option& option : options) {
        if (option.code == code) {
            return true;
        }
    }
    return false;
}

// The table with --help and --version, and getopt_long's two views of it.
struct GetoptTable {
    explicit GetoptTable(const std::vector<kevo_option>& table) : options(table)
    {
        if (!listed(options, KEVO_OPTION_HELP)) {
            options.push_back({"help", 0, nullptr, KEVO_OPTION_HELP, "print this help and exit"});
        }
        options.push_back(
            {"version", 0, nullptr, KEVO_OPTION_VERSION, "print the version and exit"});
        // The leading ':' keeps getopt quiet and tells a missing argument
        // from an unknown option.
        letters = ":";
        for (const kevo_option& option : options) {
            longs.push_back({option.name, option.argument ? required_argument : no_argument,
                             nullptr, option.code});
            if (option.letter != 0) {
                letters += option.letter;
                letters += option.argument ? ":" : "";
            }
        }
        longs.push_back({nullptr, 0, nullptr, 0});
    }

    // The option getopt_long returned: a long one by its code, a short one
    // by its letter.
    const kevo_option* find(int returned) const
    {
        for (const kevo_option& option : options) {
            if (option.code == returned || (option.letter != 0 && option.letter == returned)) {
                return &option;
            }
        }
        return nullptr;
    }

    std::vector<kevo_option> options;
    std::vector<option> longs;
    std::string letters;
};

// "  -h, --help     print this help and exit": the names, then what the
// option does from the command's column on, each of its lines indented so.
std::string helpText(const kevo_command& command, const std::vector<kevo_option>& options)
{
    std::string out = command.usage;
    for (const kevo_option& option : options) {
        std::string names = option.letter ? std::string("  -") + option.letter + ", " : "      ";
        names += std::string("--") + option.name + (option.argument ? " " : "") +
                 (option.argument ? option.argument : "");
        names.resize(std::max(names.size() + 1, command.helpColumn), ' ');
        out += names;
        for (const char* c = option.help; *c != '\0'; ++c) {
            out += *c;
            if (*c == '\n') {
                out.append(command.helpColumn, ' ');
            }
        }
        out += '\n';
    }
    return out + command.more;
}

// getopt_long leaves a short option's character in optopt, and for a long
// option the word itself just before optind.
std::string invalidOption(char** argv)
{
    if (optopt > 0 && optopt < KEVO_OPTION_FIRST) {
        return std::string("invalid option -- '") + static_cast<char>(optopt) + "'";
    }
    return std::string("invalid option '") + argv[optind - 1] + "'";
}

}  // namespace

int kevo_readCommandLine(const kevo_command& command, int argc, char** argv,
                         const kevo_optionHandler& take, std::vector<const char*>* operands)
{
    const GetoptTable table(command.options);
    opterr = 0;
    // 0, not 1: glibc then starts over, forgetting a scan it was in the
    // middle of.
    optind = 0;
    for (;;) {
        const int returned =
            getopt_long(argc, argv, table.letters.c_str(), table.longs.data(), nullptr);
        if (returned == -1) {
            operands->assign(argv + optind, argv + argc);
            return -1;
        }
        if (returned == ':') {
            return kevo_usageError(command.name, std::string("option '") + argv[optind - 1] +
                                                     "' requires an argument");
        }
        if (returned == '?') {
            return kevo_usageError(command.name, invalidOption(argv));
        }
        const kevo_option* option = table.find(returned);
        const int code = option ? option->code : returned;
        if (code == KEVO_OPTION_HELP) {
            std::fputs(helpText(command, table.options).c_str(), stdout);
            return kevo_finishOutput(command.name, kExitDone);
        }
        if (code == KEVO_OPTION_VERSION) {
            std::printf("%s %s\n", command.name, KEVO_VERSION);
            return kevo_finishOutput(command.name, kExitDone);
        }
        if (option && option->flag) {
            *option->flag = true;
            continue;
        }
        if (option && option->text) {
            *option->text = optarg;
            continue;
        }
        if (option && option->seconds && !kevo_parseSeconds(optarg, option->seconds)) {
            return kevo_usageError(command.name,
                                   std::string("not a number of seconds: '") + optarg + "'");
        }
        if (option && option->seconds) {
            continue;
        }
        const std::string refused = take(code, optarg);
        if (!refused.empty()) {
            return kevo_usageError(command.name, refused);
        }
    }
}

int kevo_usageError(const char* name, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", name,
                 message.c_str(), name);
    return kExitUsage;
}

int kevo_finishOutput(const char* name, int status)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) {
        return status;
    }
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", name, std::strerror(errno));
    return kExitFailed;
}

bool kevo_parseSeconds(const char* text, double* seconds)
{
    const char* p = text;
    double whole = 0;
    bool anyDigit = false;
    for (; *p >= '0' && *p <= '9'; ++p, anyDigit = true) {
        whole = whole * 10 + (*p - '0');
    }
    if (*p == '.') {
        double scale = 0.1;
        for (++p; *p >= '0' && *p <= '9'; ++p, anyDigit = true, scale /= 10) {
            whole += (*p - '0') * scale;
        }
    }
    if (!anyDigit || *p != '\0') {
        return false;
    }
    *seconds = whole;
    return true;
}
