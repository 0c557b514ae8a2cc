#include "script/script.h"

#include "driver/driver.h"

void play_script(const char*, FILE* file) {
    if (file) std::fclose(file);
    std::printf("The script player is not built yet.\n");
    fail_run(run_failed);
}

int read_script_line(char* buffer, int, FILE*) {
    buffer[0] = '\0';
    return 0;
}
