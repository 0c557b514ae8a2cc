// The one serial port and the five free functions every other subsystem uses.
#include <cstdlib>
#include <cstring>

#include "serial/serial_port.h"

SerialPort serial_port;

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

int open_port(int32_t port_number, uint32_t baud) {
    return serial_port.open(port_number, baud) == 1 ? 0 : -1;
}

int close_port() {
    return serial_port.close();
}

int32_t SerialPort::write_bytes(const char* data, int32_t count) {
    if (!is_open || count <= 0) return 0;
    for (int32_t i = 0; i < count; ++i) write_byte(static_cast<unsigned char>(data[i]));
    return count;
}

int32_t read_text(char* buffer, int32_t max, int32_t* count) {
    *count = 0;
    if (serial_port.input_count() > 0) {
        *count = serial_port.read_available(buffer, max);
        if (*count >= 0) buffer[*count] = '\0';
    }
    return *count;
}

int receive_byte() {
    char buffer[2];
    int32_t count = 0;
    read_text(buffer, 1, &count);
    if (count == 1) return static_cast<unsigned char>(buffer[0]);
    return serial_port.is_lost() ? receive_lost : receive_nothing;
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

int32_t send_line(char* text) {
    std::size_t len = std::strlen(text);
    text[len] = '\r';
    text[len + 1] = '\0';
    return serial_port.write_bytes(text, static_cast<int32_t>(len + 1));
}
