// The driver: the command line, the run and its one way out.
#pragma once

#include "shared/shared.h"

// The one way out of the program. wait 1: drain keys, wait up to 2664 ms for
// a key (222 ms steps), drain again. Then the display may sleep again, the
// console is put back and the process exits with status (0 success, 1
// failure).
[[noreturn]] void pause_and_exit(int wait, int status);

// What the command line asks for, as read by parse_options.
enum OptionAction : int {
    options_run = 0,      // establish communication, then the download or script
    options_usage = 1,    // "-?" (Windows: "/?" too): the usage text, then the end
    options_terminal = 2, // "-t"/"-T": terminal mode at once
    options_version = 3,  // "-V", "--version": the version line, then the end
    options_help = 4,     // "-h", "--help": the whole help text, then the end
    options_refused = 5,  // a value option without a usable value (said on standard error)
};

// "--list"/"-L": list the serial ports, then the end; "--all": with the
// ports that have no device behind them. Set by parse_options.
extern int32_t opt_list;
extern int32_t opt_list_all;

// Reads argv[1..] left to right into the options. "--port DEVICE" (or
// "--port=DEVICE") sets port_option and "-b RATE" the rate; their value is
// never the download name, and a missing or unusable one ends the reading
// with options_refused. The first argument that is no option and does not
// begin with '-' is the download name (image_offset becomes 0) and ends the
// reading, as do the usage, help and version options and "-t". Without a
// name *download_name is argv[0] and image_offset stays as it was. Unknown
// options are ignored. What was not read is named on standard error, a line
// for each kind (not after a refusal):
//   "kelo: ignored: -x --2"                       (unknown options)
//   "kelo: not read after the download file: -2"  (or "the script file",
//                                                  or the option, "-t")
int parse_options(int argc, char* const* argv, const char** download_name);
