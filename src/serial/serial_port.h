// The serial link: the one SerialPort object and the free functions through
// which the rest of kelo reaches it.
//
// COMn (n = 1..4, the option's number) is the device named in the
// environment variable KELO_COMn when it is set and not empty, else the
// platform's own name for it:
//   POSIX    the path in KELO_COMn as it is, else /dev/ttyS<n-1>.
//   Windows  KELO_COMn as a device name: COM and a number ("COM12", "com7")
//            is opened in the device namespace ("\\.\COM12"), since COM10
//            and above do not open by the bare name; a value that begins
//            with "\\.\" as it is; any other value as given (a device of
//            another name needs the "\\.\" written out). At most 255
//            characters: a longer one fails the open. Else "COMn".
// Messages keep calling the port COMn whatever it maps to. The port is
// opened exclusively, 8N1 at the given rate, no flow control, DTR off and
// RTS on.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

// Results of read_available besides a count.
constexpr int32_t read_nothing_waiting = -4;
constexpr int32_t read_failed = -5;
// The device went away (an adapter pulled, a cable's far end gone): every
// later operation fails the same way until the port is opened again.
constexpr int32_t read_port_lost = -6;

// Bytes read from the device ahead of the callers: one platform read takes
// everything that is waiting, up to this many.
constexpr int32_t input_buffer_bytes = 256;

class SerialPort {
  public:
    // 1 = open (also when it was open already: the rate stays), 0 = failure.
    // On POSIX a failure also puts one line on standard error: the device's
    // path and the system's reason, "kelo: PATH: REASON" (a port held by
    // another program says so; a denied one names the group to join).
    int open(int32_t port_number, uint32_t baud);
    // Releases everything the port holds; 1 in every case.
    int close();
    // Sends one byte (low 8 bits) as write_bytes does. 1 in every case.
    int write_byte(int byte);
    // Sends the bytes with one platform write; only what the line did not
    // take at once is written again. Gives up on the rest, unreported, when
    // the line takes nothing for 1000 ms (a byte the line does not take is
    // lost, as with any write that fails unless the device is gone). The
    // count when open and count > 0, else 0.
    int32_t write_bytes(const char* data, int32_t count);
    // Bytes waiting: those read ahead and not yet taken, and those still in
    // the driver's queue; 0 when closed.
    int32_t input_count();
    // Reads at most max bytes, never more than are waiting: the count read,
    // read_nothing_waiting, read_failed, read_port_lost, or 0 when closed.
    // Bytes read ahead come first; when there are none, one platform read
    // takes what the device holds into the read-ahead buffer.
    int32_t read_available(char* buffer, int32_t max);

    int is_port_open() const { return is_open; }
    // 1 once an operation found the device gone; cleared by the next open.
    // A lost port stays open (close releases it as usual) but does nothing.
    int is_lost() const { return lost; }
    void mark_lost() { lost = 1; }
#ifdef _WIN32
    // Event that is signalled when input may have arrived (for idle waits):
    // a one-byte read is left pending on it, whose byte then joins the
    // read-ahead buffer. nullptr when closed, when input is already waiting
    // or when the driver cannot wait (idle waits then poll).
    HANDLE input_event();
#else
    // Descriptor to poll for input (for idle waits); -1 when closed.
    int poll_fd() const {
        return is_open ? port_fd : -1;
    }
#endif

  private:
    // Moves what the device holds now into the empty read-ahead buffer.
    // The count now buffered (0: nothing waiting), or read_failed /
    // read_port_lost when nothing was read.
    int32_t fill_input();
    // Bytes in the driver's queue (a lost device counts as none).
    int32_t driver_queue();
    void forget_input() {
        input_next = input_end = 0;
    }

    int32_t is_open = 0;
    int32_t lost = 0;
    char input[input_buffer_bytes]{};
    int32_t input_next = 0; // first byte not yet taken
    int32_t input_end = 0;  // behind the last byte read ahead
#ifdef _WIN32
    void finish_wait_read();

    HANDLE port_handle = nullptr;
    OVERLAPPED read_record{};
    OVERLAPPED write_record{};
    OVERLAPPED wait_record{}; // the pending one-byte read of idle waits
    char wait_byte = 0;
    int32_t wait_pending = 0;
    int32_t wait_usable = 0; // 0 once the driver failed such a read at once
#else
    int port_fd = -1;
#endif
};

extern SerialPort serial_port;

// 0 when the port is open (or was already), -1 when it could not be opened.
int open_port(int32_t port_number, uint32_t baud);
// Closes the port; harmless when closed. Result 1.
int close_port();
// Reads at most max bytes of what is waiting into buffer (which has room for
// max + 1) and stores a NUL behind them. Result, also stored in *count: 0 when
// nothing was waiting, the count read, or a negative read code on failure.
int32_t read_text(char* buffer, int32_t max, int32_t* count);
// Results of receive_byte besides a byte.
constexpr int receive_nothing = -1;
constexpr int receive_lost = -2;
// One received byte (0..255) through read_text; receive_nothing when nothing
// is waiting or the read failed (a failing port must not feed the polling
// loops garbage); receive_lost once the device has gone away, which every
// polling loop takes as the end of its run.
int receive_byte();
// 1 once the open port's device has gone away (see SerialPort::is_lost);
// asks the device, so it also finds a loss while the port is otherwise idle.
int port_lost();
// Every send below goes to the port as one write of all its bytes.
// Sends one byte. Result 1.
int send_byte(int byte);
// Sends count bytes. Result as write_bytes.
int32_t send_bytes(const char* data, int32_t count);
// Appends a CR to text in place (the buffer needs two bytes beyond its NUL)
// and sends the text with it. Result as write_bytes.
int32_t send_line(char* text);
// As send_line, with one more byte sent behind the CR (control-R, say); the
// buffer keeps only the CR (it needs two bytes beyond its NUL).
int32_t send_line_and_byte(char* text, int byte);
