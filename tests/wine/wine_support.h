// Running the Windows programs under Wine for the end-to-end tests: one Wine
// prefix for the whole test run, with COM1 to COM4 and COM12 mapped once to
// links that each test points at a device of its own (a simulator's
// terminal), and two ways to run a program: without a console (standard
// input /dev/null, as in a pipeline) and on a console (a pseudo-terminal
// Wine makes a console of).
#pragma once

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "harness.h"

namespace wine {

// The test run's Wine: the prefix (created when missing, about 15 s), the
// port mapping in its registry (a wineserver restart when it changes), and
// a persistent wineserver that the runs share, stopped at the end.
//
// Environment: KELO_WINE_WORK names the folder of the prefix and the port
// links (default: a fresh temporary folder, removed at the end);
// KELO_WINDOWS_BUILD the folder holding kelo.exe, kelo-demo.exe and
// replica.s19 (default: build/windows beside this build).
class Session : public testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
    // Whether SetUp succeeded: when it did not, the tests were skipped and
    // the run has failed.
    static bool ready();
};

// The Windows build's files.
std::string windows_build();
std::string kelo_exe();
std::string demo_exe();

// The ports mapped in the prefix: those the options name, and COM12, which
// only KELO_COMn reaches (COM10 and above open only as "\\.\COMn").
constexpr int mapped_ports[] = {1, 2, 3, 4, 12};

// Makes COMn (one of mapped_ports) lead to device; a device that does not
// exist makes the port absent. Wine follows the link on every open, so no
// restart is needed.
void point_port(int n, const std::string& device);

// Runs a Windows program under Wine with standard input /dev/null: it has
// no console, so no key ever waits. cwd is its working folder (files are
// named relative to it); env ("NAME=value") is added to the environment,
// which Wine hands on to the program. Its output comes back with LF line
// ends, as written (text_mode_undone).
harness::RunResult run(const std::string& exe, const std::vector<std::string>& args,
                       const std::string& cwd, double timeout_s = 60,
                       const std::vector<std::string>& env = {});

// Undoes the C library's text mode on Windows, which writes every LF as
// CR LF: each LF loses the one CR put before it.
std::string text_mode_undone(const std::string& bytes);

// One step of the keys typed on a console: once ready(shown) is true, wait
// delay_ms, then type bytes.
struct ConsoleStep {
    std::function<bool(const std::string& shown)> ready;
    std::string bytes;
    int delay_ms = 0;
};

// Types bytes once the console shows text (and delay_ms more).
ConsoleStep when_shown(const std::string& text, const std::string& bytes, int delay_ms = 0);

// Wine's console on a terminal takes a lone ESC byte as the start of an
// escape sequence and waits for the rest: two make the esc key.
inline const std::string esc_key = "\x1b\x1b";

struct ConsoleRun {
    int status = -1;   // exit code, or 128 + signal
    std::string raw;   // what the terminal received
    std::string shown; // the same without the console's control sequences
    double seconds = 0;
    std::vector<double> typed_at; // seconds from the start, per step
    bool timed_out = false;
};

// Runs a Windows program under Wine on a pseudo-terminal, which Wine turns
// into the program's console, typing the steps' keys in order.
ConsoleRun run_on_console(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& cwd, const std::vector<ConsoleStep>& steps,
                          double timeout_s = 60);

// Wine's console output as text: cursor and erase sequences dropped, cursor
// moves to the right as blanks, CR dropped (its line ends are CR CR LF).
std::string shown_text(const std::string& raw);

// Path of a program on PATH, or "" when there is none.
std::string find_program(const std::string& name);

} // namespace wine
