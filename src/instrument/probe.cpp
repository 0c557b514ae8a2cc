// Link probe: finds out whether the instrument answers at a rate and reads
// its versions from the identification answer.
#include "instrument/probe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "record/update_record.h"
#include "serial/serial_link.h"
#include "shared/shared.h"

namespace {

// The first answer byte must come within this time of the query, and every
// later one within next_byte_ms of the one before it.
constexpr uint32_t first_byte_ms = 336;
constexpr uint32_t next_byte_ms = 112;

// An answer may take as long as its bytes need, each within next_byte_ms
// of the one before. What ends a line that never stops talking (noise, a
// device of another kind) is its length: three times the longest answer
// the reply line keeps (the instrument's is 40 bytes). Noise at line speed
// ends within 2244 bytes' wire time (2.3 s at 9600 baud); the slowest noise
// that keeps the answer going, a byte every 111 ms, within 250 s.
constexpr int32_t longest_answer_bytes = 3 * reply_line_max;

// Reads one answer line into reply_line: probe_answered when its LF came in
// time, else probe_no_answer or probe_port_lost.
int read_answer_line() {
    int32_t kept = 0;
    int32_t received = 0;
    uint32_t deadline = clock_ms() + first_byte_ms;
    for (;;) {
        int c = receive_byte();
        if (c == receive_lost) return probe_port_lost;
        if (c >= 0) {
            reply_seen = 1;
            if (c == '\n') break;
            if (++received >= longest_answer_bytes) return probe_no_answer;
            if (c != '\r' && kept < reply_line_max) reply_line[kept++] = static_cast<char>(c);
            deadline = clock_ms() + next_byte_ms;
            continue;
        }
        uint32_t left = ms_until(deadline);
        if (left == 0) return probe_no_answer;
        idle_wait(left);
    }
    reply_line[kept] = '\0';
    return probe_answered;
}

// Start of the first field after a comma that begins with "19" or "20".
const char* find_version_field(const char* line) {
    for (const char* comma = std::strchr(line, ','); comma; comma = std::strchr(comma + 1, ',')) {
        const char* field = comma + 1;
        if ((field[0] == '1' && field[1] == '9') || (field[0] == '2' && field[1] == '0'))
            return field;
    }
    return nullptr;
}

} // namespace

int parse_identification(const char* line) {
    const char* field = find_version_field(line);
    if (!field) return -1;
    instrument_version = static_cast<int32_t>(std::atol(field));
    const char* comma = std::strchr(field, ',');
    if (!comma) return 0;
    appl_version = static_cast<int32_t>(std::atol(comma + 1));
    comma = std::strchr(comma + 1, ',');
    if (!comma) return 0;
    dsp_version = static_cast<int32_t>(std::atol(comma + 1));
    return 0;
}

int probe_instrument(uint32_t baud) {
    if (open_port(port_index + 1, baud) != 0) {
        std::printf("Cannot open COM%d.\n", port_index + 1);
        return probe_cannot_open;
    }
    record_port_opened();
    // Stale input from before the query is no answer to it.
    while (receive_byte() >= 0) {}

    char query[sizeof identification_query + 1];
    std::memcpy(query, identification_query, sizeof identification_query);
    send_line(query);

    int answer = read_answer_line();
    if (answer != probe_answered) {
        close_port();
        return answer;
    }
    if (parse_identification(reply_line) != 0) {
        record_identified(0);
        std::printf("Invalid device connected to COM%d.\n", port_index + 1);
        fail_run(run_invalid_device);
        return probe_invalid_device;
    }
    return 0;
}
