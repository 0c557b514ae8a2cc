// Script player: sends the lines of a script file one by one, paced by the
// instrument's reply lines, by the "RD-" acknowledgement, or by intervals of
// silence on the millisecond clock.
#include "script/script.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "image/image.h"
#include "platform/keys.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

namespace {

constexpr int script_line_size = 1500;

// Silence (ms) after which the next line is read, by state: the reply line
// has ended; no reply line yet; no reply line yet, control-R after each
// line; an "RD-" line awaits its acknowledgement.
constexpr int32_t reply_gap_ms = 224;
constexpr int32_t silence_ms = 504;
constexpr int32_t ctrl_r_silence_ms = 3024;
constexpr int32_t ack_wait_ms = 25200;

constexpr int32_t idle_slice_ms = 200;

constexpr int shift_out_byte = 14;
constexpr int shift_in_byte = 15;

} // namespace

// The one pending line: the initial query, then each logical script line.
// Empty (first byte 0) once it has been used.
char script_line[script_line_size];
// Clock reading at the last sent message line or received byte.
uint32_t pace_mark = 0;
// 1 once the reply line to the last sent line has ended (only with ack_state 0).
int32_t reply_complete = 0;
// Acknowledgement of an "RD-" line: 0 none awaited, 1 awaiting O, 2 awaiting k,
// 3 awaiting the line end.
int32_t ack_state = 0;

namespace {

int32_t elapsed_ms() {
    return static_cast<int32_t>(clock_ms() - pace_mark);
}

// The silence after which the next line is due in the present state.
int32_t due_after_ms() {
    if (reply_complete) return reply_gap_ms;
    if (ack_state != 0) return ack_wait_ms;
    return opt_ctrl_r == 0 ? silence_ms : ctrl_r_silence_ms;
}

// Takes a waiting key. Result: -1 none waited, 1 esc, 0 any other key
// (dropped; a two-code key is dropped whole, so no scan code passes for esc).
int poll_esc() {
    KeyPress key;
    if (!take_key(&key)) return -1;
    return is_esc(key) ? 1 : 0;
}

// 1 when the line begins with "RD-" in any case.
int asks_acknowledgement(const char* line) {
    return std::strlen(line) >= 3 && std::toupper(static_cast<unsigned char>(line[0])) == 'R' &&
           std::toupper(static_cast<unsigned char>(line[1])) == 'D' && line[2] == '-';
}

void run_command() {
    switch (script_line[1]) {
    case 'N':
    case 'n':
        send_byte(shift_out_byte);
        break;
    case 'O':
    case 'o':
        send_byte(shift_in_byte);
        break;
    case 'R':
    case 'r':
        opt_ctrl_r = 1;
        break;
    case 'S':
    case 's':
        opt_ctrl_r = 0;
        break;
    default:
        break;
    }
    // A command draws no answer: the next line may follow at once.
    pace_mark = clock_ms() - ctrl_r_silence_ms;
    script_line[0] = '\0';
}

void send_message_line() {
    int wants_ack = asks_acknowledgement(script_line);
    // An "RD-" line is always closed by control-R: the acknowledgement
    // answers that.
    if (opt_ctrl_r == 1 || wants_ack)
        send_line_and_byte(script_line, ctrl_r_byte);
    else
        send_line(script_line);
    pace_mark = clock_ms();
    if (opt_show_records) {
        strip_line_end(script_line);
        std::fprintf(stderr, ">%s\n", script_line);
    }
    script_line[0] = '\0';
    reply_complete = 0;
    ack_state = wants_ack ? 1 : 0;
}

void show_reply_byte(int byte) {
    if (ack_state == 1 && byte == 'O') {
        ack_state = 2;
    } else if (ack_state == 2 && byte == 'k') {
        ack_state = 3;
    } else if (byte == '\n') {
        if (opt_show_records) std::printf("\n");
        // Before its O and k a line end does not acknowledge an "RD-" line.
        if (ack_state == 0 || ack_state == 3) {
            reply_complete = 1;
            ack_state = 0;
        }
        return;
    } else if (byte < 32 || byte > 126) {
        return;
    }
    if (opt_show_records) std::printf("%c", byte);
}

// Takes at most one received byte; 1 when one came, -1 when the port went
// away. Every byte holds the intervals of silence off.
int take_received_byte() {
    int byte = receive_byte();
    if (byte == receive_lost) return -1;
    if (byte < 0) return 0;
    pace_mark = clock_ms();
    show_reply_byte(byte);
    return 1;
}

// One pass over keyboard, clock and port. Result: 1 something was done,
// 0 nothing (the caller may idle), -1 the script is over (esc or its end).
int play_pass(const char* name, FILE* file) {
    int key = poll_esc();
    if (key == 1) {
        std::printf("\nMessages terminated via <esc> key\n");
        return -1;
    }
    // A pending line (the initial query) is never read over.
    if (script_line[0] == '\0' && elapsed_ms() > due_after_ms()) {
        ack_state = 0; // a missing acknowledgement is given up on
        if (!read_script_line(script_line, script_line_size, file)) {
            // A script that could not be read to its end was not played.
            if (std::ferror(file)) {
                std::printf("\nCannot read the script file: %s\n", name);
                fail_run(run_failed);
            }
            return -1;
        }
    }
    if (script_line[0] == '@') {
        run_command();
        return 1;
    }
    int sent = 0;
    if (script_line[0] != '\0') {
        send_message_line();
        sent = 1;
    }
    int received = take_received_byte();
    if (received < 0) {
        fail_run(run_port_lost);
        return -1;
    }
    return received || sent || key == 0;
}

// Sleeps until the next line is due, or input comes first. The system may
// oversleep a wait by a thousandth of its length, so long waits go in
// slices that keep the deadline to the millisecond.
void idle_until_due() {
    int32_t left = due_after_ms() - elapsed_ms() + 1;
    if (left > idle_slice_ms) left = idle_slice_ms;
    if (left > 0) idle_wait(static_cast<uint32_t>(left));
}

} // namespace

void play_script(const char* name, FILE* file) {
    opt_show_records = 1;
    if (!file) {
        file = std::fopen(name, "rb");
        if (!file) {
            std::printf("Cannot open the download file: %s\n", name);
            fail_run(run_failed);
            return;
        }
    }
    std::strcpy(script_line, "?\r\n");
    ack_state = 0;
    reply_complete = 0;
    // Taken after the open, so that a slow open cannot make the query's
    // silence interval expire before the query has gone out.
    pace_mark = clock_ms();
    for (;;) {
        int done = play_pass(name, file);
        if (done < 0) break;
        if (done == 0) idle_until_due();
    }
    std::fclose(file);
}

namespace {

// Offset of the backslash that ends segment before its line end, or -1.
int continuation_offset(const char* segment, int length) {
    int last = length - 1;
    while (last >= 0 && (segment[last] == '\r' || segment[last] == '\n')) --last;
    return last >= 0 && segment[last] == '\\' ? last : -1;
}

// 1 when fgets stopped at the budget, not at a line end: the segment is the
// start of a longer physical line.
int cut_by_budget(const char* segment, int length, int budget) {
    return length > 0 && length == budget - 1 && segment[length - 1] != '\n';
}

} // namespace

int read_script_line(char* buffer, int size, FILE* file) {
    int budget = size - 1;
    char* segment = buffer;
    if (!std::fgets(segment, budget, file)) return 0;
    for (;;) {
        int length = static_cast<int>(std::strlen(segment));
        if (length < 2) return 0;
        // A backslash that the limit cut off from its line end marks no
        // continuation: the line is split there like any over-long line,
        // instead of joining the line end to it and ending the script.
        if (cut_by_budget(segment, length, budget)) return 1;
        int k = continuation_offset(segment, length);
        if (k < 0) return 1;
        budget -= k;
        segment += k;
        if (!std::fgets(segment, budget, file)) {
            // At the end of the file fgets leaves the buffer as it was, so
            // the line keeps its backslash; after a read error its content
            // is undefined and nothing of it may be sent.
            return std::ferror(file) ? 0 : 1;
        }
    }
}
