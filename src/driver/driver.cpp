// The one way out of the program.
#include "driver/driver.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

void drain_keys() {
    while (key_waiting()) read_key();
}

} // namespace

void pause_and_exit(int wait, int status) {
    if (wait) {
        // Keys pressed earlier must not cut the pause short.
        drain_keys();
        for (int step = 0; step < 12; ++step) {
            pause_ms(222);
            if (key_waiting()) break;
        }
        drain_keys();
    }
    set_screen_saver_active(saved_screen_saver);
    console_restore();
    std::exit(status);
}
