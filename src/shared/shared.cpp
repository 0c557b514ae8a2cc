// The process-wide state, the run's outcome and the helpers every part
// shares.
#include "shared/shared.h"

#include <cstdio>
#include <cstring>

int32_t baud_rate = 0;
int32_t port_index = 0;
int32_t opt_ctrl_r = 0;
int32_t opt_show_records = 0;
int32_t opt_force = 0;
int32_t opt_report = 0;

int32_t image_offset = program_file_size;
int32_t image_length = 0;

char reply_line[reply_line_size];
int32_t reply_seen = 0;
int32_t instrument_version = 0;
int32_t appl_version = 0;
int32_t dsp_version = 0;
int32_t section_mode = 0;
int32_t reboot_pending = 0;
int32_t reply_timeout_s = default_reply_timeout_s;

int32_t run_outcome = run_ok;
int32_t esc_ended = 0;

void fail_run(int32_t outcome) {
    if (run_outcome == run_ok) run_outcome = outcome;
}

void report_file_failure(const char* format, const char* path, int error) {
    std::printf(format, path);
    std::fprintf(stderr, "kelo: %s: %s\n", path, std::strerror(error));
    fail_run(run_file_error);
}

void strip_line_end(char* text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n'))
        text[--length] = '\0';
}
