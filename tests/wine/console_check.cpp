// Checks of the console keys and the idle wait on the console, run under
// Wine. Two ways:
//
//   wine console_check.exe </dev/null   no console: no key ever waits,
//                                       read_key gives esc at once
//   wine console_check.exe --keys       on a terminal (Wine's console): the
//                                       tester types 'a', then esc
//
// Prints one line per failed check and a summary; exit status 0 when all
// checks passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "check_support.h"
#include "platform/platform.h"

namespace {

using checks::check;
using checks::cpu_ms;
using checks::failures;

void check_without_console() {
    check(key_waiting() == 0, "no key waits without a console");
    uint32_t start = clock_ms();
    check(read_key() == 27, "read_key without a console gives esc");
    check(clock_ms() - start < 100, "read_key without a console does not wait");
    start = clock_ms();
    idle_wait(300);
    uint32_t slept = clock_ms() - start;
    check(slept >= 290 && slept < 1000, "idle_wait without port and console",
          std::to_string(slept));
}

// Waits for the runner's next key with idle waits; the processor time
// spent per second of waiting shows whether the wait sleeps.
int wait_for_key(const char* which) {
    double cpu_before = cpu_ms();
    uint32_t start = clock_ms();
    while (!key_waiting() && clock_ms() - start < 15000) idle_wait(1000);
    uint32_t waited = clock_ms() - start;
    double cpu = cpu_ms() - cpu_before;
    std::printf("  %s: waited %u ms, %.0f ms processor time\n", which, waited, cpu);
    check(key_waiting() == 1, "a key arrives", which);
    // Blocked, a tick or two of 10 ms; polling every millisecond, 190 ms.
    check(cpu < 50, "waiting for a key does not spin", which);
    return read_key();
}

void check_with_console() {
    std::printf("ready\n");
    int key = wait_for_key("first key");
    check(key == 'a', "first key is a", std::to_string(key));
    key = wait_for_key("esc");
    check(key == 27, "second key is esc", std::to_string(key));
}

} // namespace

int main(int argc, char** argv) {
    console_start();
    if (argc > 1 && std::strcmp(argv[1], "--keys") == 0)
        check_with_console();
    else
        check_without_console();
    std::printf("wine console checks: %d failed\n", failures);
    console_restore();
    return failures == 0 ? 0 : 1;
}
