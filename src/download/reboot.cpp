// Reboot hand-over: after the boot section the instrument must restart into
// the new boot code before the next section can be sent.
#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "instrument/probe.h"
#include "platform/keys.h"
#include "platform/platform.h"
#include "serial/serial_link.h"
#include "shared/shared.h"

namespace {

// After the boot section's last reply, before the first reboot command.
constexpr uint32_t before_reboot_ms = 1000;
// Between the two reboot commands.
constexpr uint32_t between_reboot_commands_ms = 500;
// The restart: dots while the instrument boots.
constexpr int settle_dots = 8;
constexpr uint32_t settle_dot_ms = 500;
// Then it is asked, waiting this long for each answer.
constexpr int query_attempts = 20;
constexpr uint32_t query_answer_wait_ms = 500;
// The longest gap between two bytes of an answer.
constexpr uint32_t answer_gap_ms = 112;
// The prompt waits for a key in steps of this length, watching the port.
constexpr uint32_t prompt_wait_ms = 1000;

// Sends a command; send_line appends the final CR in place, so the text is
// copied into a buffer with room for it.
void send_command(const char* command) {
    char text[20];
    std::strncpy(text, command, sizeof text - 2);
    text[sizeof text - 2] = '\0';
    send_line(text);
}

// What came in answer to a query: a line feed (the instrument is back),
// bytes that keep coming without one (an answer under way: another byte
// within the gap an answer may leave between two) or nothing that counts (a
// prompt character alone). Bytes up to the line feed are dropped.
enum Answer { answer_none, answer_under_way, answer_whole };
int answer_arrived() {
    int bytes = 0;
    for (int c = receive_byte(); c >= 0; c = receive_byte()) {
        if (c == '\n') return answer_whole;
        ++bytes;
    }
    if (bytes == 0) return answer_none;
    port_wait(answer_gap_ms);
    for (int c = receive_byte(); c >= 0; c = receive_byte()) {
        if (c == '\n') return answer_whole;
        return answer_under_way;
    }
    return answer_none;
}

// Asks the instrument until it answers: handover_continue when it did,
// handover_terminate when it did not, handover_port_lost when the port went.
// An answer under way is waited for, not asked for again: an instrument
// that answers slowly (a long answer, a byte every 100 ms) would answer
// every query, and the answers still coming after the hand-over would be
// read as replies to the records.
int query_until_answer() {
    int under_way = 0;
    for (int attempt = 0; attempt < query_attempts; ++attempt) {
        std::printf(".");
        if (!under_way) send_command(identification_query);
        pause_ms(query_answer_wait_ms);
        int answer = answer_arrived();
        if (answer == answer_whole) return handover_continue;
        if (port_lost()) return handover_port_lost;
        under_way = answer == answer_under_way;
    }
    return handover_terminate;
}

// The instrument did not come back by itself: the user power-cycles it and
// confirms with a key, or ends the download with esc. The wait watches the
// port, and a keyboard that can give no key ends it, with a word.
int ask_for_power_cycle() {
    // Keys pressed earlier must not answer the prompt.
    drop_keys();
    std::printf("\n\nThe instrument did not automatically reboot.\n");
    std::printf("To continue the download process, please turn\n");
    std::printf("off power to the instrument, then restart.\n");
    std::printf("When the unit has power-ed back up, press <enter>\n");
    std::printf("to resume, or <esc> to terminate the download.\n");
    KeyPress key;
    while (!take_key(&key)) {
        // What the instrument says while it restarts answers nothing: it is
        // dropped, so that the wait sleeps until the next key or byte.
        if (drop_unjudged_input(drop_all) == receive_lost || port_lost()) return handover_port_lost;
        if (keyboard_ended()) {
            std::printf("\nNo keyboard can answer the prompt: the download ends.\n");
            return handover_terminate;
        }
        idle_wait(prompt_wait_ms);
    }
    // A two-code key never counts as esc.
    if (!is_esc(key)) return handover_continue;
    esc_ended = 1;
    return handover_terminate;
}

// Pauses; 1 when the port went away meanwhile.
int lost_during_pause(uint32_t ms) {
    pause_ms(ms);
    return port_lost();
}

} // namespace

int reboot_handover() {
    reboot_pending = 0;
    if (lost_during_pause(before_reboot_ms)) return handover_port_lost;
    std::printf("\nRebooting target");
    send_command("$REBOOT2\r\n");
    if (lost_during_pause(between_reboot_commands_ms)) return handover_port_lost;
    send_command("$REBOOT\r\n");
    for (int dot = 0; dot < settle_dots; ++dot) {
        std::printf(".");
        if (lost_during_pause(settle_dot_ms)) return handover_port_lost;
    }
    // What the instrument said while it restarted is no answer to a query.
    if (drop_unjudged_input(drop_all) == receive_lost) return handover_port_lost;
    int answer = query_until_answer();
    if (answer == handover_terminate) answer = ask_for_power_cycle();
    if (answer != handover_continue) return answer;
    std::printf("\n");
    return handover_continue;
}
