// Command-line options, driven by one table.
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

int32_t opt_list = 0;
int32_t opt_list_all = 0;

namespace {

struct OptionEntry {
    const char* text; // null: no such option on this platform
    int32_t* target;  // option variable set to value, or null
    int32_t value;
    int action; // options_run: go on with the next argument
};

// Compared whole and case-sensitively, in this order; the first match wins.
const OptionEntry option_table[] = {
    {"-?", nullptr, 0, options_usage},         {"-h", nullptr, 0, options_help},
    {"--help", nullptr, 0, options_help},      {platform_usage_option, nullptr, 0, options_usage},
    {"-38", &baud_rate, 38400, options_run},   {"-19", &baud_rate, 19200, options_run},
    {"-96", &baud_rate, 9600, options_run},    {"-1", &port_index, 0, options_run},
    {"-2", &port_index, 1, options_run},       {"-3", &port_index, 2, options_run},
    {"-4", &port_index, 3, options_run},       {"-r", &opt_ctrl_r, 1, options_run},
    {"-R", &opt_ctrl_r, 1, options_run},       {"-s", &opt_show_records, 1, options_run},
    {"-S", &opt_show_records, 1, options_run}, {"-w", &opt_force, 1, options_run},
    {"-W", &opt_force, 1, options_run},        {"-t", nullptr, 0, options_terminal},
    {"-T", nullptr, 0, options_terminal},      {"--version", nullptr, 0, options_version},
    {"-V", nullptr, 0, options_version},       {"-i", &opt_report, 1, options_run},
    {"-I", &opt_report, 1, options_run},       {"-L", &opt_list, 1, options_run},
    {"--list", &opt_list, 1, options_run},     {"--all", &opt_list_all, 1, options_run},
};

// The options that take a value, as the next argument ("--port COM3") or
// behind '=' ("--port=COM3").
constexpr const char* value_options[] = {"--port", "-b"};

// The value option arg is (0 "--port", 1 "-b"), with *joined its value
// behind '=' or null; -1 for none.
int find_value_option(const char* arg, const char** joined) {
    for (int i = 0; i < 2; ++i) {
        std::size_t length = std::strlen(value_options[i]);
        if (std::strncmp(arg, value_options[i], length) != 0) continue;
        if (arg[length] != '\0' && arg[length] != '=') continue;
        *joined = arg[length] == '=' ? arg + length + 1 : nullptr;
        return i;
    }
    return -1;
}

// Takes a value option's value: 1, or 0 after saying on standard error why
// it cannot be taken (none, one that looks like an option, a rate the
// instrument does not talk at).
int take_value(int option, const char* value) {
    if (option == 0 && value && value[0] != '\0' && value[0] != '-') {
        port_option = value;
        return 1;
    }
    if (option == 0) {
        std::fprintf(stderr, "kelo: --port needs the port's device: --port %s\n",
                     platform_example_port);
        return 0;
    }
    static const int32_t rates[] = {38400, 19200, 9600};
    for (int32_t rate : rates) {
        char text[8];
        std::snprintf(text, sizeof text, "%d", static_cast<int>(rate));
        if (value && std::strcmp(value, text) == 0) {
            baud_rate = rate;
            return 1;
        }
    }
    std::fprintf(stderr, "kelo: -b needs the rate: 38400, 19200 or 9600\n");
    return 0;
}

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
        const char* joined = nullptr;
        if (find_value_option(argv[i], &joined) >= 0) {
            if (!joined) ++i; // its value too
            continue;
        }
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
        const char* value = nullptr;
        if (int value_option = find_value_option(arg, &value); value_option >= 0) {
            if (!value && next < argc) value = argv[next++];
            if (!take_value(value_option, value)) action = options_refused;
            continue;
        }
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
    if (action != options_refused) report_unread(argc, argv, next);
    return action;
}
