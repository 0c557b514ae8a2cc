#include "download/download.h"

#include <cstdio>

#include "driver/driver.h"

void run_download(const char*) {
    std::printf("The download is not built yet.\n");
    fail_run(run_failed);
}
