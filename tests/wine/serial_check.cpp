// Checks of the Windows serial port and idle wait, run under Wine against a
// pseudo-terminal pair: COM1 and COM2 are the two ends of one null-modem
// link, COM4 names a device that does not exist.
//
//   wine serial_check.exe [--stuck-write]   (wine_e2e_tests sets the ports up)
//
// Prints one line per failed check and a summary; exit status 0 when all
// checks passed.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "check_support.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

using checks::check;
using checks::cpu_ms;
using checks::failures;

// Reads from port until count bytes arrived or timeout_ms passed.
std::string receive(SerialPort& port, std::size_t count, uint32_t timeout_ms) {
    std::string got;
    uint32_t deadline = clock_ms() + timeout_ms;
    char buffer[512];
    while (got.size() < count && ms_until(deadline) > 0) {
        int32_t n = port.read_available(buffer, static_cast<int32_t>(sizeof(buffer)));
        if (n > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        else
            Sleep(1);
    }
    return got;
}

void check_lifecycle() {
    SerialPort absent;
    check(absent.open(4, 38400) == 0, "open of a missing device fails");
    check(!absent.is_port_open(), "failed open leaves the port closed");
    check(absent.close() == 1 && absent.close() == 1, "close after failed open is harmless");
    check(absent.write_bytes("x", 1) == 0 && absent.input_count() == 0, "closed port is inert");
    char byte = 0;
    check(absent.read_available(&byte, 1) == 0, "read on a closed port gives 0");

    SerialPort port;
    check(port.open(1, 38400) == 1 && port.is_port_open(), "open COM1");
    check(port.open(1, 9600) == 1, "second open reports open");
    check(port.input_event() != nullptr, "input event available while open");
    check(port.close() == 1 && !port.is_port_open() && port.close() == 1, "close twice");
    check(port.input_event() == nullptr, "no input event while closed");
    // Everything was released: the device opens again, many times over.
    int reopened = 0;
    for (int i = 0; i < 50; ++i) reopened += port.open(1, 19200) == 1 && port.close() == 1;
    check(reopened == 50, "open and close 50 times", std::to_string(reopened));
}

void check_transfer(SerialPort& a, SerialPort& b) {
    char buffer[8] = {};
    check(b.read_available(buffer, 1) == receive_nothing, "nothing waiting gives -4");
    check(a.write_bytes("ABC", 3) == 3, "write_bytes returns the count");
    check(a.write_bytes("ABC", 0) == 0 && a.write_bytes("ABC", -1) == 0, "count <= 0 sends none");
    uint32_t deadline = clock_ms() + 2000;
    while (b.input_count() < 3 && ms_until(deadline) > 0) Sleep(1);
    check(b.input_count() == 3, "three bytes queued", std::to_string(b.input_count()));
    check(b.read_available(buffer, 2) == 2 && std::memcmp(buffer, "AB", 2) == 0,
          "read limited to max");
    check(b.input_count() == 1, "a byte read ahead counts as waiting");
    check(b.read_available(buffer, 8) == 1 && buffer[0] == 'C', "read limited to what waits");
    check(b.read_available(buffer, 8) == receive_nothing, "queue empty again");

    // Every byte value passes unchanged: no XON/XOFF, NUL kept, 8 bits.
    std::string all;
    for (int round = 0; round < 3; ++round)
        for (int value = 0; value < 256; ++value) all.push_back(static_cast<char>(value));
    a.write_bytes(all.data(), static_cast<int32_t>(all.size()));
    std::string got = receive(b, all.size(), 5000);
    check(got == all, "all byte values pass", std::to_string(got.size()) + " bytes");
}

void check_link_functions(SerialPort& b) {
    check(open_port(1, 38400) == 0 && open_port(1, 38400) == 0, "open_port twice gives 0");
    char line[8] = "ABC";
    send_line(line);
    check(std::memcmp(line, "ABC\r", 5) == 0, "send_line appends CR in place");
    check(receive(b, 4, 2000) == "ABC\r", "send_line sends text and CR");
    b.write_bytes("xy", 2);
    char text[2] = {'#', '#'};
    int32_t count = -1;
    uint32_t deadline = clock_ms() + 2000;
    while (serial_port.input_count() < 2 && ms_until(deadline) > 0) Sleep(1);
    check(read_text(text, 1, &count) == 1 && count == 1 && text[0] == 'x' && text[1] == 0,
          "read_text one byte and NUL");
    check(read_text(text, 1, &count) == 1 && text[0] == 'y', "next byte stays queued");
    text[0] = '#';
    check(read_text(text, 1, &count) == 0 && count == 0 && text[0] == '#',
          "read_text with nothing waiting leaves the buffer");
}

// The idle wait blocks without using the processor and wakes on input.
// Polling every millisecond would take 100 ms or more of processor time.
void check_idle_wait(SerialPort& b) {
    double cpu_before = cpu_ms();
    uint32_t start = clock_ms();
    idle_wait(2000);
    uint32_t slept = clock_ms() - start;
    double cpu = cpu_ms() - cpu_before;
    std::printf("  idle_wait(2000): %u ms, %.0f ms processor time\n", slept, cpu);
    check(slept >= 1990 && slept < 3500, "idle_wait keeps its time-out", std::to_string(slept));
    // Blocked, it costs a clock tick or two (10 ms each); waking every
    // millisecond costs 70 ms and more.
    check(cpu < 20, "idle_wait blocks", std::to_string(cpu) + " ms processor time");

    std::thread writer([&b] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        b.write_bytes("!#", 2);
    });
    start = clock_ms();
    idle_wait(5000);
    uint32_t woke = clock_ms() - start;
    writer.join();
    std::printf("  idle_wait(5000), byte sent after 200 ms: woke after %u ms\n", woke);
    check(woke >= 150 && woke < 1000, "idle_wait wakes on input", std::to_string(woke) + " ms");
    uint32_t deadline = clock_ms() + 2000;
    while (serial_port.input_count() < 2 && ms_until(deadline) > 0) Sleep(1);
    check(serial_port.input_count() == 2, "the bytes that woke it wait");

    // Input already waiting: no wait at all.
    start = clock_ms();
    idle_wait(2000);
    check(clock_ms() - start < 100, "idle_wait with input waiting returns at once");
    // The byte that woke the wait comes first.
    char text[2];
    int32_t count = 0;
    read_text(text, 1, &count);
    check(count == 1 && text[0] == '!', "the byte that woke the wait comes first");
    read_text(text, 1, &count);
    check(count == 1 && text[0] == '#', "then the one behind it");
}

// A write the line does not take within 1000 ms is cancelled and finished,
// and the port stays usable. The far end reads nothing until the queue of
// the pseudo-terminal pair is full.
void check_stuck_write(SerialPort& b) {
    uint32_t start = clock_ms();
    uint32_t longest = 0;
    int32_t sent = 0;
    while (clock_ms() - start < 60000 && longest < 900) {
        uint32_t before = clock_ms();
        serial_port.write_byte('w');
        uint32_t took = clock_ms() - before;
        if (took > longest) longest = took;
        ++sent;
    }
    std::printf("  stuck write: %d bytes sent, longest write %u ms\n", sent, longest);
    check(longest >= 900 && longest < 3000, "a stuck write gives up after about 1000 ms",
          std::to_string(longest));
    // Drain the far end, then the line works again.
    char buffer[512];
    uint32_t quiet = clock_ms();
    while (clock_ms() - quiet < 500)
        if (b.read_available(buffer, static_cast<int32_t>(sizeof(buffer))) > 0) quiet = clock_ms();
    serial_port.write_bytes("ok", 2);
    check(receive(b, 2, 2000) == "ok", "line works after a stuck write");
    start = clock_ms();
    close_port();
    check(clock_ms() - start < 2000, "close after a stuck write is prompt");
}

} // namespace

int main(int argc, char** argv) {
    console_start();
    int with_stuck_write = argc > 1 && std::strcmp(argv[1], "--stuck-write") == 0;
    check_lifecycle();
    SerialPort far_end;
    if (far_end.open(2, 38400) != 1) {
        std::printf("FAILED: cannot open COM2\n");
        return 1;
    }
    check_link_functions(far_end);
    check_transfer(serial_port, far_end);
    check_idle_wait(far_end);
    if (with_stuck_write) check_stuck_write(far_end);
    close_port();
    far_end.close();
    std::printf("wine serial checks: %d failed\n", failures);
    console_restore();
    return failures == 0 ? 0 : 1;
}
