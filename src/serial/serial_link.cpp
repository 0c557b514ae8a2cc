// The one serial port, the part of it both platforms share (the read-ahead
// buffer), and the free functions every other subsystem uses.
#include <cstdlib>
#include <cstring>

#include "serial/serial_port.h"

SerialPort serial_port;
const char* port_option = nullptr;

namespace {

void close_serial_port_at_exit() {
    serial_port.close();
}

// Registered during static initialisation, right after serial_port is built,
// so the port is released on every way out of the program.
struct CloseAtExit {
    CloseAtExit() { std::atexit(close_serial_port_at_exit); }
} close_at_exit;

} // namespace

int32_t copy_trimmed(const char* value, char* buffer, int32_t size) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (blank(*value)) ++value;
    std::size_t length = std::strlen(value);
    while (length > 0 && blank(value[length - 1])) --length;
    if (length >= static_cast<std::size_t>(size)) return -1;
    std::memmove(buffer, value, length);
    buffer[length] = '\0';
    return static_cast<int32_t>(length);
}

int open_port(int32_t port_number, uint32_t baud) {
    return serial_port.open(port_number, baud) == 1 ? 0 : -1;
}

const char* port_device() {
    return serial_port.device();
}

int close_port() {
    serial_port.close();
    return 0;
}

int SerialPort::write_byte(int byte) {
    char data = static_cast<char>(byte);
    write_bytes(&data, 1);
    return 1;
}

int32_t SerialPort::input_count() {
    if (!is_open) return 0;
    int32_t queued = driver_queue();
    return queued + (input_end - input_next);
}

int32_t SerialPort::read_available(char* buffer, int32_t max) {
    if (!is_open || max <= 0) return 0;
    if (input_next == input_end) {
        int32_t filled = fill_input();
        if (filled < 0) return filled;
        if (filled == 0) return receive_nothing;
    }
    int32_t count = input_end - input_next < max ? input_end - input_next : max;
    std::memcpy(buffer, input + input_next, static_cast<std::size_t>(count));
    input_next += count;
    return count;
}

int32_t read_text(char* buffer, int32_t max, int32_t* count) {
    int32_t got = serial_port.read_available(buffer, max);
    *count = got == receive_nothing ? 0 : got;
    if (got > 0) buffer[got] = '\0';
    return *count;
}

int receive_byte() {
    char buffer[2];
    int32_t count = 0;
    read_text(buffer, 1, &count);
    if (count == 1) return static_cast<unsigned char>(buffer[0]);
    return serial_port.is_lost() ? receive_lost : receive_nothing;
}

int receive_read_ahead_byte() {
    return serial_port.take_read_ahead();
}

int port_lost() {
    // Asking for the input count is what finds a device gone while nothing
    // else touches the port (during a pause).
    serial_port.input_count();
    return serial_port.is_lost();
}

int send_byte(int byte) {
    return serial_port.write_byte(byte);
}

int32_t send_bytes(const char* data, int32_t count) {
    return serial_port.write_bytes(data, count);
}

namespace {

// Appends a CR to text in place and sends the text with it and, unless
// extra is -1, the byte extra behind the CR, in one write. The buffer keeps
// the CR and its NUL.
int32_t send_text_and_cr(char* text, int extra) {
    std::size_t len = std::strlen(text);
    text[len] = '\r';
    int32_t count = static_cast<int32_t>(len + 1);
    if (extra >= 0) text[count++] = static_cast<char>(extra);
    int32_t sent = serial_port.write_bytes(text, count);
    text[len + 1] = '\0';
    return sent;
}

} // namespace

int32_t send_line(char* text) {
    return send_text_and_cr(text, -1);
}

int32_t send_line_and_byte(char* text, int byte) {
    return send_text_and_cr(text, byte & 0xFF);
}
