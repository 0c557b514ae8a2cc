// The fake line: every function of serial/serial_link.h in test time.
#include "fake_line.h"

#include <cstring>

#include "fake_platform.h"
#include "serial/serial_link.h"

namespace fake {

Line line;

namespace {

uint32_t now_ms() {
    return static_cast<uint32_t>(platform.now_us / 1000u);
}

bool input_due() {
    return !line.input.empty() && line.input.front().at_ms <= now_ms();
}

int32_t sent(const char* bytes, std::size_t count) {
    std::string text(bytes, count);
    line.transmissions.push_back(text);
    line.sent_at_ms.push_back(now_ms());
    if (line.instrument) line.pending_reply += line.instrument(text);
    return static_cast<int32_t>(count);
}

// As the serial link sends a line: the CR appended in place and, unless
// extra is -1, the byte extra behind it; the buffer keeps the CR and its NUL.
int32_t sent_with_cr(char* text, int extra) {
    std::size_t length = std::strlen(text);
    text[length] = '\r';
    std::size_t count = length + 1;
    if (extra >= 0) text[count++] = static_cast<char>(extra);
    int32_t result = sent(text, count);
    text[length + 1] = '\0';
    return result;
}

} // namespace

void reset_line() {
    line = Line{};
    platform.input_waiting = [] { return input_due(); };
    platform.next_input_ms = []() -> int64_t {
        return line.input.empty() ? -1 : static_cast<int64_t>(line.input.front().at_ms);
    };
}

void deliver(const std::string& bytes, uint32_t at_ms) {
    for (char c : bytes) line.input.push_back({static_cast<unsigned char>(c), at_ms});
}

void deliver_failures(int count) {
    for (int i = 0; i < count; ++i) line.input.push_back({read_failure});
}

void deliver_loss() {
    line.input.push_back({line_gone});
}

void release_reply() {
    deliver(line.pending_reply);
    line.pending_reply.clear();
}

} // namespace fake

using fake::line;

const char* port_option = nullptr;

int open_port(int32_t, uint32_t) {
    return 0;
}

const char* port_device() {
    return "fake";
}

int close_port() {
    return 0;
}

int32_t read_text(char* buffer, int32_t, int32_t* count) {
    *count = 0;
    if (line.lost) return *count = receive_lost;
    if (!fake::input_due()) return 0;
    fake::Input in = line.input.front();
    line.input.pop_front();
    if (in.byte == fake::line_gone) {
        line.lost = true;
        return *count = receive_lost;
    }
    if (in.byte == fake::read_failure) return *count = receive_failed;
    buffer[0] = static_cast<char>(in.byte);
    buffer[1] = '\0';
    return *count = 1;
}

// The serial link's contract: a failed read is no byte, a lost line ends.
int receive_byte() {
    char buffer[2];
    int32_t count = 0;
    read_text(buffer, 1, &count);
    if (count == 1) return static_cast<unsigned char>(buffer[0]);
    return line.lost ? receive_lost : receive_nothing;
}

// Everything due counts as read ahead: a read of the device takes it all.
int receive_read_ahead_byte() {
    int byte = receive_byte();
    return byte >= 0 ? byte : receive_nothing;
}

int port_lost() {
    // Asking the device finds the loss that is next on the line.
    if (!line.lost && fake::input_due() && line.input.front().byte == fake::line_gone) {
        line.input.pop_front();
        line.lost = true;
    }
    return line.lost ? 1 : 0;
}

int send_byte(int byte) {
    char data = static_cast<char>(byte);
    return fake::sent(&data, 1);
}

int32_t send_bytes(const char* data, int32_t count) {
    return fake::sent(data, static_cast<std::size_t>(count));
}

int32_t send_line(char* text) {
    return fake::sent_with_cr(text, -1);
}

int32_t send_line_and_byte(char* text, int byte) {
    return fake::sent_with_cr(text, byte & 0xFF);
}
