// The one way out of the program.
#include "driver/driver.h"

#include <cstdio>
#include <cstdlib>

#include "platform/keys.h"
#include "platform/platform.h"

void pause_and_exit(int wait, int status) {
    if (wait) {
        // Keys pressed earlier must not cut the pause short.
        drop_keys();
        for (int step = 0; step < 12; ++step) {
            pause_ms(222);
            if (key_waiting()) break;
        }
        drop_keys();
    }
    keep_display_on(0);
    console_restore();
    std::exit(status);
}
