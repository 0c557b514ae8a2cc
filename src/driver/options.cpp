// Command-line options, driven by one table.
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "platform/platform.h"

namespace {

struct OptionEntry {
    const char* text; // null: no such option on this platform
    int32_t* target;  // option variable set to value, or null
    int32_t value;
    int action; // options_run: go on with the next argument
};

// Compared whole and case-sensitively, in this order; the first match wins.
const OptionEntry option_table[] = {
    {"-?", nullptr, 0, options_usage},         {"-h", nullptr, 0, options_usage},
    {"--help", nullptr, 0, options_usage},     {platform_usage_option, nullptr, 0, options_usage},
    {"-38", &baud_rate, 38400, options_run},   {"-19", &baud_rate, 19200, options_run},
    {"-96", &baud_rate, 9600, options_run},    {"-1", &port_index, 0, options_run},
    {"-2", &port_index, 1, options_run},       {"-3", &port_index, 2, options_run},
    {"-4", &port_index, 3, options_run},       {"-r", &opt_ctrl_r, 1, options_run},
    {"-R", &opt_ctrl_r, 1, options_run},       {"-s", &opt_show_records, 1, options_run},
    {"-S", &opt_show_records, 1, options_run}, {"-w", &opt_force, 1, options_run},
    {"-W", &opt_force, 1, options_run},        {"-t", nullptr, 0, options_terminal},
    {"-T", nullptr, 0, options_terminal},      {"--version", nullptr, 0, options_version},
    {"-V", nullptr, 0, options_version},       {"-i", &opt_report, 1, options_run},
    {"-I", &opt_report, 1, options_run},
};

// The table's entry for arg; null for an argument that is no option here.
const OptionEntry* find_option(const char* arg) {
    for (const OptionEntry& entry : option_table)
        if (entry.text && std::strcmp(arg, entry.text) == 0) return &entry;
    return nullptr;
}

// Writes " " and arg to standard error with its control characters as
// "\x1b": an argument must not move the cursor or retitle the terminal.
void put_argument(const char* arg) {
    std::fputc(' ', stderr);
    for (; *arg != '\0'; ++arg) {
        unsigned char c = static_cast<unsigned char>(*arg);
        if (c < 32 || c == 127)
            std::fprintf(stderr, "\\x%02x", c);
        else
            std::fputc(c, stderr);
    }
}

// Names on standard error what was not read, one line for each kind: the
// arguments before next that looked like options but are none, and every
// argument from next on (after the one that ended the reading).
void report_unread(int argc, char* const* argv, int next) {
    int ignored = 0;
    for (int i = 1; i < next; ++i) {
        if (argv[i][0] != '-' || find_option(argv[i])) continue;
        if (ignored++ == 0) std::fputs("kelo: ignored:", stderr);
        put_argument(argv[i]);
    }
    if (ignored) std::fputs("\n", stderr);
    if (next >= argc) return;
    const char* last = argv[next - 1];
    const char* name = last[0] == '@' ? "the script file" : "the download file";
    std::fprintf(stderr, "kelo: not read after %s:", find_option(last) ? last : name);
    for (int i = next; i < argc; ++i) put_argument(argv[i]);
    std::fputs("\n", stderr);
}

} // namespace

int parse_options(int argc, char* const* argv, const char** download_name) {
    *download_name = argc > 0 ? argv[0] : "";
    int action = options_run;
    int next = 1; // the first argument not read yet
    while (next < argc && action == options_run) {
        const char* arg = argv[next++];
        const OptionEntry* option = find_option(arg);
        if (!option && arg[0] != '-') {
            *download_name = arg;
            image_offset = 0;
            break;
        }
        if (!option) continue; // an unknown option
        if (option->target) *option->target = option->value;
        action = option->action;
    }
    report_unread(argc, argv, next);
    return action;
}
