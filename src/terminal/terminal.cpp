#include "terminal/terminal.h"

#include <cstdio>

#include "driver/driver.h"

void terminal_mode() {
    std::printf("Terminal mode is not built yet.\n");
    fail_run(run_failed);
}
