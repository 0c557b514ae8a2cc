// Script player: sends the lines of a script file one by one, paced by the
// instrument's reply lines, by the "RD-" acknowledgement, or by intervals of
// silence on the millisecond clock.
#include "script/script.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/keys.h"
#include "platform/platform.h"
#include "serial/serial_link.h"
#include "shared/shared.h"

namespace {

constexpr int script_line_size = 1500;

// Silence after which the next line is read, by what the player awaits: the
// reply line has ended; no reply line yet; no reply line yet, control-R
// after each line; an "RD-" line's acknowledgement.
constexpr int32_t reply_gap_ms = 224;
constexpr int32_t silence_ms = 504;
constexpr int32_t ctrl_r_silence_ms = 3024;
constexpr int32_t ack_wait_ms = 25200;

// The longest single idle wait (see idle_until_due).
constexpr int32_t idle_slice_ms = 200;

constexpr int shift_out_byte = 14;
constexpr int shift_in_byte = 15;

// Progress of the acknowledgement an "RD-" line asks for: an O, later a k,
// later a line end.
enum AckState : int32_t { ack_none, ack_awaiting_o, ack_awaiting_k, ack_awaiting_line_end };

struct Player {
    // The one pending line: the initial query, then each logical script
    // line. Empty (first byte 0) once it has been used.
    char script_line[script_line_size];
    // Clock reading at the last sent message line or received byte.
    uint32_t pace_mark;
    // 1 once the reply line to the last sent line has ended (only while
    // ack_state is ack_none).
    int32_t reply_complete;
    AckState ack_state;
};

Player player;

// What the keyboard held for a pass.
enum KeyAnswer { no_key, esc_key, other_key };
// What the port gave a pass.
enum ReceiveAnswer { nothing_received, byte_received, port_gone };
// What a pass did: something, nothing (the loop may sleep until the next
// line is due or input comes), or ended the script.
enum PassResult { pass_busy, pass_idle, pass_end };

int32_t elapsed_ms() {
    return static_cast<int32_t>(clock_ms() - player.pace_mark);
}

// The silence after which the next line is due in the present state.
int32_t due_after_ms() {
    if (player.reply_complete) return reply_gap_ms;
    if (player.ack_state != ack_none) return ack_wait_ms;
    return opt_ctrl_r == 0 ? silence_ms : ctrl_r_silence_ms;
}

// Takes the waiting keys; any other key than esc is dropped (a two-code key
// whole, so no scan code passes for esc).
KeyAnswer poll_esc() {
    switch (take_keys_until_esc()) {
    case keys_esc:
        return esc_key;
    case keys_other:
        return other_key;
    default:
        return no_key;
    }
}

// 1 when the line begins with "RD-" in any case.
int asks_acknowledgement(const char* line) {
    return std::strlen(line) >= 3 && std::toupper(static_cast<unsigned char>(line[0])) == 'R' &&
           std::toupper(static_cast<unsigned char>(line[1])) == 'D' && line[2] == '-';
}

void run_command() {
    switch (player.script_line[1]) {
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
    player.pace_mark = clock_ms() - ctrl_r_silence_ms;
    player.script_line[0] = '\0';
}

void send_message_line() {
    char* line = player.script_line;
    int wants_ack = asks_acknowledgement(line);
    // An "RD-" line is always closed by control-R: the acknowledgement
    // answers that.
    if (opt_ctrl_r == 1 || wants_ack)
        send_line_and_byte(line, ctrl_r_byte);
    else
        send_line(line);
    player.pace_mark = clock_ms();
    if (opt_show_records) {
        strip_line_end(line);
        std::fprintf(stderr, ">%s\n", line);
    }
    line[0] = '\0';
    player.reply_complete = 0;
    player.ack_state = wants_ack ? ack_awaiting_o : ack_none;
}

void show_reply_byte(int byte) {
    if (player.ack_state == ack_awaiting_o && byte == 'O') {
        player.ack_state = ack_awaiting_k;
    } else if (player.ack_state == ack_awaiting_k && byte == 'k') {
        player.ack_state = ack_awaiting_line_end;
    } else if (byte == '\n') {
        if (opt_show_records) std::printf("\n");
        // Before its O and k a line end does not acknowledge an "RD-" line.
        if (player.ack_state == ack_none || player.ack_state == ack_awaiting_line_end) {
            player.reply_complete = 1;
            player.ack_state = ack_none;
        }
        return;
    } else if (byte < 32 || byte > 126) {
        return;
    }
    if (opt_show_records) std::printf("%c", byte);
}

// Takes at most one received byte. Every byte holds the intervals of
// silence off.
ReceiveAnswer take_received_byte() {
    int byte = receive_byte();
    if (byte == receive_lost) return port_gone;
    if (byte < 0) return nothing_received;
    player.pace_mark = clock_ms();
    show_reply_byte(byte);
    return byte_received;
}

// Reads the next line into script_line once it is due; a missing
// acknowledgement is given up on then. pass_end at the script's end.
PassResult read_line_when_due(const char* name, FILE* file) {
    // A pending line (the initial query) is never read over.
    if (player.script_line[0] != '\0' || elapsed_ms() <= due_after_ms()) return pass_idle;
    player.ack_state = ack_none;
    if (read_script_line(player.script_line, script_line_size, file)) return pass_busy;
    // A script that could not be read to its end was not played.
    if (std::ferror(file)) {
        std::printf("\nCannot read the script file: %s\n", name);
        fail_run(run_file_error);
    }
    return pass_end;
}

// One pass over keyboard, clock and port.
PassResult play_pass(const char* name, FILE* file) {
    KeyAnswer key = poll_esc();
    if (key == esc_key) {
        std::printf("\nMessages terminated via <esc> key\n");
        esc_ended = 1;
        return pass_end;
    }
    if (read_line_when_due(name, file) == pass_end) return pass_end;
    if (player.script_line[0] == '@') {
        run_command();
        return pass_busy;
    }
    int sent = player.script_line[0] != '\0';
    if (sent) send_message_line();
    ReceiveAnswer received = take_received_byte();
    if (received == port_gone) {
        fail_run(run_port_lost);
        return pass_end;
    }
    return received == byte_received || sent || key == other_key ? pass_busy : pass_idle;
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
            report_file_failure("Cannot open the script file: %s\n", name, errno);
            return;
        }
    }
    player = Player{};
    std::strcpy(player.script_line, "?\r\n");
    // Taken after the open, so that a slow open cannot make the query's
    // silence interval expire before the query has gone out.
    player.pace_mark = clock_ms();
    for (;;) {
        PassResult result = play_pass(name, file);
        if (result == pass_end) break;
        if (result == pass_idle) idle_until_due();
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
        int backslash = continuation_offset(segment, length);
        if (backslash < 0) return 1;
        // The next physical line goes over the backslash and the line end.
        budget -= backslash;
        segment += backslash;
        if (!std::fgets(segment, budget, file)) {
            // At the end of the file fgets leaves the buffer as it was, so
            // the line keeps its backslash; after a read error its content
            // is undefined and nothing of it may be sent.
            return std::ferror(file) ? 0 : 1;
        }
    }
}
