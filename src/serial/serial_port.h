// The one serial port: the SerialPort object behind the free functions of
// serial_link.h. Only src/serial and src/platform (whose idle wait watches
// the port) see it; the modes use serial_link.h.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#endif

#include "serial/serial_link.h"

// A write gives up on the rest of its bytes when the line takes nothing for
// this long.
constexpr uint32_t write_stall_ms = 1000;

// Bytes read from the device ahead of the callers: one platform read takes
// everything that is waiting, up to this many.
constexpr int32_t input_buffer_bytes = 256;

class SerialPort {
  public:
    // 1 = open (also when it was open already: the rate stays), 0 = failure
    // (with the reason on standard error, see open_port).
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
    // receive_nothing, receive_failed, receive_lost, or 0 when closed.
    // Bytes read ahead come first; when there are none, one platform read
    // takes what the device holds into the read-ahead buffer.
    int32_t read_available(char* buffer, int32_t max);

    // One byte read ahead and not yet taken, never asking the device: the
    // byte (0..255), or receive_nothing when there is none.
    int take_read_ahead() {
        if (input_next == input_end) return receive_nothing;
        return static_cast<unsigned char>(input[input_next++]);
    }

    int is_port_open() const { return is_open; }
    // The device the port was last opened on ("" before the first open).
    const char* device() const { return opened_on; }
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
    // The count now buffered (0: nothing waiting), or receive_failed /
    // receive_lost when nothing was read.
    int32_t fill_input();
    // Bytes in the driver's queue (a lost device counts as none).
    int32_t driver_queue();
    void forget_input() {
        input_next = input_end = 0;
    }

    int32_t is_open = 0;
    int32_t lost = 0;
    char opened_on[260]{};
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

// Copies value into buffer (size bytes) without the blanks (spaces, tabs)
// around it, as cmd's "set KELO_COM1=COM12 && ..." leaves one behind; the
// copy may overlap value from its start. The length copied, or -1 when it
// does not fit (buffer is then not terminated).
int32_t copy_trimmed(const char* value, char* buffer, int32_t size);

#ifndef _WIN32
// The process that the bytes of a UUCP lock file (LCK..<device name> in
// /run/lock or /var/lock, as minicom writes it) name, when it lives; else 0.
// The pid is written in ASCII (blanks, digits, a line end) or, by old
// tools, as a 4-byte binary number.
int32_t lock_file_holder(const char* bytes, int32_t count);
// The live process that holds a UUCP lock of the port path names, else 0.
// Tools name the lock after the path they were given (minicom: the path
// below /dev with its slashes turned to underscores, "LCK..pts_1"), after a
// symbolic link on the way or after the device behind them: all are looked
// for.
int32_t port_lock_holder(const char* path);
#endif
