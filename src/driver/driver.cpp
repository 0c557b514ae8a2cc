// The one way out of the program.
#include "driver/driver.h"

#include <cstdio>
#include <cstdlib>

#include "platform/keys.h"
#include "platform/platform.h"
#include "record/update_record.h"

namespace {

// The pause before the end: 12 steps of 222 ms (2664 ms), a key ends it.
constexpr int exit_pause_steps = 12;
constexpr uint32_t exit_pause_step_ms = 222;

} // namespace

void pause_and_exit(int wait, int status) {
    // The run's status stands from here: Ctrl-C and SIGTERM only cut the
    // pause short.
    if (wait) closing_pause_begins();
    record_end(status);
    if (wait) {
        // Keys pressed earlier must not cut the pause short.
        drop_keys();
        for (int step = 0; step < exit_pause_steps; ++step) {
            pause_ms(exit_pause_step_ms);
            if (key_waiting() || closing_pause_cut()) break;
        }
        drop_keys();
    }
    keep_display_on(0);
    console_restore();
    std::exit(status);
}
