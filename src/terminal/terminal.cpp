// Terminal mode: what the instrument sends goes to the console untouched,
// what the user types goes to the instrument with a local echo that makes
// control keys visible.
#include "terminal/terminal.h"

#include <cstdint>
#include <cstdio>

#include "platform/keys.h"
#include "platform/platform.h"
#include "serial/serial_link.h"
#include "shared/shared.h"

namespace {

// Without serial input or keys there is nothing to time: any wait will do.
constexpr uint32_t idle_ms = 1000;
// With the keyboard gone (input from a pipe or file that has ended) nobody
// can press esc: the mode ends this long after the end of the input,
// whatever the instrument still sends (its answer to the last keys shows).
constexpr uint32_t ended_input_grace_ms = 1000;

// 1 when the last text shown did not end with a line end: the mode then
// ends with one, so that what follows (the shell's prompt) starts a line.
int line_open = 0;

// Shows at most one received byte, every value as it is. 1 when one came,
// -1 when the port went away.
int show_received_byte() {
    int byte = receive_byte();
    if (byte == receive_lost) return -1;
    if (byte < 0) return 0;
    std::printf("%c", byte);
    line_open = byte != '\n';
    return 1;
}

void echo_key(int code) {
    if (code == key_enter)
        std::printf("\n");
    else if (code >= 32 && code <= 126)
        std::printf("%c", code);
    else if (code == key_backspace)
        std::printf("\b \b");
    else if (code >= 1 && code <= 26)
        std::printf("<%c>", code + 64); // the control key's letter
    else
        return;
    line_open = code != key_enter;
}

// Passes a key on, echoed, in one write. 1 when it was esc. A two-code key
// with the prefix 0 counts as its second code; a 224 is a key of its own
// (sent, not echoed). Enter is followed by control-R when the option asks
// for it.
int pass_key_on(const KeyPress& key) {
    char bytes[2];
    int32_t count = 0;
    int code = (key.scan >= 0 ? key.scan : key.code) & 0xFF;
    int esc = code == key_esc;
    if (!esc) {
        echo_key(code);
        bytes[count++] = static_cast<char>(code);
        if (code == key_enter && opt_ctrl_r == 1) bytes[count++] = static_cast<char>(ctrl_r_byte);
    }
    if (count > 0) send_bytes(bytes, count);
    return esc;
}

} // namespace

void terminal_mode() {
    console_pass_signal_keys();
    std::printf("<< TERMINAL MODE >>\n\n");
    line_open = 0;
    int input_ended = 0;
    uint32_t end_at = 0;
    for (;;) {
        int received = show_received_byte();
        if (received < 0) {
            fail_run(run_port_lost);
            return;
        }
        KeyPress key;
        if (take_key(&key)) {
            if (pass_key_on(key)) {
                esc_ended = 1;
                break;
            }
            continue;
        }
        if (keyboard_ended() && !input_ended) {
            input_ended = 1;
            end_at = clock_ms() + ended_input_grace_ms;
        }
        uint32_t left = input_ended ? ms_until(end_at) : idle_ms;
        if (left == 0) break;
        if (!received) idle_wait(left);
    }
    if (line_open) std::printf("\n");
}
