// Terminal mode: what the instrument sends goes to the console untouched,
// what the user types goes to the instrument with a local echo that makes
// control keys visible.
#include "terminal/terminal.h"

#include <cstdint>
#include <cstdio>

#include "driver/driver.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

constexpr int esc_key = 27;
constexpr int enter_key = 13;
constexpr int backspace_key = 8;
constexpr int ctrl_r_byte = 18;
// Without serial input or keys there is nothing to time: any wait will do.
constexpr uint32_t idle_ms = 1000;
// With the keyboard gone (input from a pipe or file that has ended) nobody
// can press esc: the mode ends once the line has been quiet this long.
constexpr uint32_t quiet_end_ms = 1000;

// Shows at most one received byte, every value as it is. 1 when one came.
int show_received_byte() {
    int byte = receive_byte();
    if (byte < 0) return 0;
    std::printf("%c", byte);
    return 1;
}

void echo_key(int code) {
    if (code == enter_key)
        std::printf("\n");
    else if (code >= 32 && code <= 126)
        std::printf("%c", code);
    else if (code == backspace_key)
        std::printf("\b \b");
    else if (code >= 1 && code <= 26)
        std::printf("<%c>", code + 64); // the control key's letter
}

// Reads one key and passes it on. 1 when it was esc. An extended key with
// the prefix 0 counts as its second code; the prefix 224 is a byte of its
// own (sent, not echoed) and its second code follows in the next pass.
int pass_key_on() {
    int code = read_key() & 0xFF;
    if (code == 0) code = read_key() & 0xFF;
    if (code == esc_key) return 1;
    echo_key(code);
    send_byte(code);
    if (code == enter_key && opt_ctrl_r == 1) send_byte(ctrl_r_byte);
    return 0;
}

} // namespace

void terminal_mode() {
    std::printf("<< TERMINAL MODE >>\n\n");
    uint32_t last_activity = clock_ms();
    for (;;) {
        int received = show_received_byte();
        if (received) last_activity = clock_ms();
        if (key_waiting()) {
            if (pass_key_on()) return;
            last_activity = clock_ms();
        } else if (!received) {
            if (!keyboard_ended()) {
                idle_wait(idle_ms);
                continue;
            }
            uint32_t left = ms_until(last_activity + quiet_end_ms);
            if (left == 0) return;
            idle_wait(left);
        }
    }
}
