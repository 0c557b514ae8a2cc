// Reboot hand-over: after the boot section the instrument must restart into
// the new boot code before the next section can be sent.
#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "driver/driver.h"
#include "instrument/probe.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

constexpr int key_esc = 27;
constexpr int query_attempts = 20;
constexpr int settle_dots = 8;
constexpr uint32_t settle_dot_ms = 500;

// Sends a command; send_line appends the final CR in place, so the text is
// copied into a buffer with room for it.
void send_command(const char* command) {
    char text[20];
    std::strncpy(text, command, sizeof text - 2);
    text[sizeof text - 2] = '\0';
    send_line(text);
}

void drain_input() {
    while (receive_byte() >= 0) {}
}

// 1 when a line feed came before the input ran dry; bytes up to it are dropped.
int line_feed_arrived() {
    for (int c = receive_byte(); c >= 0; c = receive_byte())
        if (c == '\n') return 1;
    return 0;
}

// Asks the instrument until it answers; 1 when it did.
int query_until_answer() {
    for (int attempt = 0; attempt < query_attempts; ++attempt) {
        std::printf(".");
        send_command(identification_query);
        pause_ms(500);
        if (line_feed_arrived()) return 1;
    }
    return 0;
}

// The instrument did not come back by itself: the user power-cycles it and
// confirms with a key, or ends the download with esc.
int ask_for_power_cycle() {
    // Keys pressed earlier must not answer the prompt.
    while (key_waiting()) read_key();
    std::printf("\n\nThe instrument did not automatically reboot.\n");
    std::printf("To continue the download process, please turn\n");
    std::printf("off power to the instrument, then restart.\n");
    std::printf("When the unit has power-ed back up, press <enter>\n");
    std::printf("to resume, or <esc> to terminate the download.\n");
    int key = read_key();
    // An extended key comes negated, so it can never be taken for esc.
    if (key == 0) key = -read_key();
    return key == key_esc ? handover_terminate : handover_continue;
}

} // namespace

int reboot_handover() {
    reboot_pending = 0;
    pause_ms(1000);
    std::printf("\nRebooting target");
    send_command("$REBOOT2\r\n");
    pause_ms(500);
    send_command("$REBOOT\r\n");
    for (int dot = 0; dot < settle_dots; ++dot) {
        std::printf(".");
        pause_ms(settle_dot_ms);
    }
    drain_input();
    if (!query_until_answer() && ask_for_power_cycle() == handover_terminate)
        return handover_terminate;
    std::printf("\n");
    return handover_continue;
}
