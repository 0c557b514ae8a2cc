// The serial link as the modes see it: free functions on the one serial port
// and their result codes. Nothing of the platform's port shows here; the
// port itself (serial_port.h) is for src/serial and src/platform only.
//
// COMn (n = 1..4, the option's number) is the device named in the
// environment variable KELO_COMn when it is set and not empty (blanks around
// the value do not count), else the platform's own name for it:
//   POSIX    the path in KELO_COMn, else /dev/ttyS<n-1>.
//   Windows  KELO_COMn as a device name: COM and a number ("COM12", "com7")
//            is opened in the device namespace ("\\.\COM12"), since COM10
//            and above do not open by the bare name; a value that begins
//            with "\\.\" as it is; any other value as given (a device of
//            another name needs the "\\.\" written out). At most 255
//            characters: a longer one fails the open. Else "COMn".
// Messages keep calling the port COMn whatever it maps to. The port is
// opened exclusively, 8N1 at the given rate, no flow control, DTR off and
// RTS on.
//
// One result convention per family of functions:
//   opening    open_port, close_port: 0 done, -1 failed.
//   receiving  read_text, receive_byte: a result >= 0 is what came (a count,
//              a byte); a negative one is a receive code, which says why
//              nothing came.
//   sending    send_byte, send_bytes, send_line, send_line_and_byte: the
//              number of bytes handed to the line (all of them: a byte the
//              line does not take is lost, as with any write that fails).
//              No caller needs it.
//   asking     port_lost: 1 yes, 0 no.
#pragma once

#include <cstdint>

// The receive codes.
constexpr int32_t receive_nothing = -4; // nothing is waiting
constexpr int32_t receive_failed = -5;  // the platform's read failed
// The device went away (an adapter pulled, a cable's far end gone): every
// later operation fails the same way until the port is opened again.
constexpr int32_t receive_lost = -6;

// The device the --port option names (null: none): used for whichever COMn
// is opened, in place of KELO_COMn, and taken as that variable's value.
extern const char* port_option;

// 1 when name has the form of a serial port's device on this platform,
// whether or not one is there now (POSIX: below /dev/tty or /dev/serial/;
// Windows: COM and a number, or a name that begins with "\\.\").
int names_a_port(const char* name);

// Prints the serial ports of this computer on standard output, one a line:
// the device, then what the system tells of it, as
//   "/dev/ttyUSB0: ftdi_sio, USB 0403:6001, FTDI, FT232R USB UART,
//    serial A10K1ABC, /dev/serial/by-id/usb-FTDI_..., in use by process 42"
// (one line; POSIX) or "COM3: \Device\Serial2" (Windows). all 0 leaves out
// the ports that have no device behind them. Opens no port. The number of
// lines printed.
int list_ports(int all);

// Opens COM port_number at baud; an open port stays as it is (its rate too).
// A failure also puts one line on standard error: the device tried and the
// system's reason, "kelo: PATH: REASON" (Windows: "kelo: \\.\COM13: ..." in
// the system's words; POSIX: a port held by another program says so, a
// denied one names the group to join).
int open_port(int32_t port_number, uint32_t baud);
// Closes the port; harmless when closed. 0.
int close_port();
// The device COMn was last opened on, as the system names it ("" before).
const char* port_device();

// Reads at most max bytes of what is waiting into buffer (which has room for
// max + 1) and stores a NUL behind them. The count read (0 when nothing was
// waiting), or receive_failed or receive_lost; the result is also stored in
// *count.
int32_t read_text(char* buffer, int32_t max, int32_t* count);
// One received byte (0..255) through read_text; receive_nothing when nothing
// is waiting or the read failed (a failing port must not feed the polling
// loops garbage); receive_lost once the device has gone away, which every
// polling loop takes as the end of its run.
int receive_byte();
// One byte that the port has already read from the device and not yet
// handed out (a platform read takes everything waiting at once), without
// asking the device: the byte, or receive_nothing when there is none.
int receive_read_ahead_byte();
// 1 once the open port's device has gone away; asks the device, so it also
// finds a loss while the port is otherwise idle.
int port_lost();

// Every send goes to the port as one write of all its bytes. When the line
// takes nothing for 1000 ms, the rest is dropped.
int send_byte(int byte);
int32_t send_bytes(const char* data, int32_t count);
// Appends a CR to text in place (the buffer needs two bytes beyond its NUL)
// and sends the text with it.
int32_t send_line(char* text);
// As send_line, with one more byte sent behind the CR (control-R, say); the
// buffer keeps only the CR (it needs two bytes beyond its NUL).
int32_t send_line_and_byte(char* text, int byte);
