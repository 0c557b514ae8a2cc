// The platform seam: console keys, the millisecond clock, pauses, keeping the
// display on, the idle wait and the serial device's modem lines. One
// implementation file per platform; the unit tests link a fake of their own
// (tests/fakes/fake_platform.cpp) that runs in test time.
#pragma once

#include <cstdint>
#include <cstdio>

// Prepares the console for the run: standard output and standard error
// unbuffered (their lines keep their order also when redirected); on POSIX a
// terminal on standard input goes into non-canonical, no-echo mode and is put
// back by console_restore() and by every signal that ends the process; a
// stopped run (Ctrl-Z) gives the terminal back until it is continued. On
// Windows the keys come from the process's console whatever standard input
// is, and Ctrl-C, Ctrl-Break and closing the window end the run (status 1).
void console_start();
void console_restore();
// Terminal mode passes Ctrl-Z and Ctrl-\ on to the instrument as the keys 26
// and 28, as a Windows console does; Ctrl-C still ends the run. Until
// console_restore() (no-op outside POSIX terminals).
void console_pass_signal_keys();

// 1 when a key code is waiting, without waiting for one (_kbhit). A
// two-code key waits whole or not at all. On a POSIX terminal the bytes of a
// key that are not all there yet wait unseen: the esc key itself shows
// only once 100 ms passed without a byte that would make it the start of a
// longer key (idle_wait wakes up for that).
int key_waiting();
// Reads one key code without echo, waiting for it (_getch). Extended keys
// come as two codes: 0 or 224, then the key's scan code, as a Windows console
// gives them. When no key can ever come (standard input ended), 27 (esc).
// The modes take keys through take_key (keys.h), which never waits.
int read_key();

// 1 when no key can ever come: standard input was a pipe or file that has
// ended (POSIX), or there is no console (Windows); keys already read but
// not yet taken do not count as ended.
int keyboard_ended();

// Milliseconds of a free-running 32-bit clock (timeGetTime). Compare two
// readings by their difference taken as a signed 32-bit number.
uint32_t clock_ms();
// Milliseconds of the wall clock whose whole seconds the standard time()
// gives: tells how far away time()'s next tick is.
int64_t wall_clock_ms();
// Pauses for ms milliseconds (Sleep).
void pause_ms(uint32_t ms);
// Pauses for about us microseconds, never much longer: on Windows, whose
// sleeps may last a millisecond more than asked, for whole milliseconds less
// one (under two milliseconds, no pause).
void pause_us(uint32_t us);

// 1: the display and the computer stay awake for the run (no sleep, and the
// desktop's screen saver switched off when it was on); 0 gives that up and
// puts the screen saver back on if this run switched it off (also on
// Ctrl-C, Ctrl-Break and a closed window). No-op outside Windows.
void keep_display_on(int on);

// Blocks without using the processor until input waits on the serial port, a
// key waits, or timeout_ms has passed. The polling loops call it when a pass
// found nothing to do, with the time left to their next deadline.
void idle_wait(uint32_t timeout_ms);

// As idle_wait, but keys do not end it: only input on the serial port, the
// port's device going away, or the time-out.
void port_wait(uint32_t timeout_ms);

// Milliseconds from now until the signed 32-bit deadline, 0 once it is due.
inline uint32_t ms_until(uint32_t deadline) {
    int32_t left = static_cast<int32_t>(deadline - clock_ms());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

#ifdef _WIN32
// The system's words for a GetLastError value, without the line end, into
// text (size bytes).
void system_reason(unsigned long error, char* text, int size);
#endif

#ifndef _WIN32
// The modem-control lines a POSIX serial port asks for at open (on Windows
// they are part of the port's settings).
enum ModemLine { modem_dtr, modem_rts };
// Raises (on 1) or drops (on 0) a modem-control line of the serial device
// open as fd. A device without modem lines (a pseudo-terminal) refuses:
// that is no failure, so there is no result.
void set_modem_line(int fd, ModemLine line, int on);
#endif

// The platform's own way of asking a program for its usage, besides "-?",
// "-h" and "--help": "/?" on Windows; none on POSIX (nullptr), where "/?"
// names a file. The platform's name in the version line, and a port's
// device as the platform names it, for examples.
#ifdef _WIN32
constexpr const char* platform_usage_option = "/?";
constexpr const char platform_name[] = "Windows";
constexpr const char platform_example_port[] = "COM7";
#else
constexpr const char* platform_usage_option = nullptr;
constexpr const char platform_name[] = "POSIX";
constexpr const char platform_example_port[] = "/dev/ttyUSB0";
#endif

// The update record's file (KELO_LOG): opened to append to, created when it
// is missing, shared with other kelo runs. A handle >= 0, or -1 with the
// system's reason in reason (size bytes). Never waits: a named pipe that
// nobody reads is refused.
intptr_t open_for_appending(const char* path, char* reason, int size);
// Appends a line with one system write, so that the writes of runs side by
// side never interleave. line[0] is a line end, written only when the file
// does not end with one (a line broken earlier): the line always begins a
// line of its own. 0 when all went, else -1 with the reason; what went of a
// line that did not go whole is taken back where the system allows. On
// POSIX it may be called from a signal handler (reason may be null).
int append_line(intptr_t file, const char* line, int32_t count, char* reason, int size);
// The computer's name into name (size bytes); empty when unknown.
void host_name(char* name, int size);
// hook runs once when a signal (POSIX: every signal whose default action
// ends the process and that can be caught, faults included) or the console
// (Windows: Ctrl-C, Ctrl-Break, the window closed) ends the run, with the
// exit status the run ends with (POSIX: 128 + the signal's number); on
// POSIX inside the signal handler, so it may only do what a handler may.
// SIGPIPE and SIGXFSZ are ignored for the whole run: the write fails.
void on_abrupt_end(void (*hook)(int status));
// From now on (the closing pause) Ctrl-C and SIGTERM (Windows: Ctrl-C and
// Ctrl-Break) no longer end the run: closing_pause_cut() turns 1, and the
// pause ends within a step with the run's own status.
void closing_pause_begins();
int closing_pause_cut();

// The program's own file, for reading an appended image. POSIX: argv0 when
// it is a path (it holds a slash) to a regular file, else the running
// program's file as the system names it (a program started through the
// command search path has a bare argv0, which may name another file in the
// current folder), else argv0. Windows: the running program's file as the
// system names it (a typed ".\kelo-demo" has no ".exe"), else argv0.
const char* own_program_file(const char* argv0);

// Opens path for reading in binary mode ("rb"). On Windows nobody may write
// the file while it is open; when another program holds it open for writing
// already, it is opened sharing, as "rb" does, and standard error says so
// once.
FILE* open_for_reading(const char* path);

// What tells whether a file's contents may have changed since an earlier
// look: which file it is (device and inode; volume and file index), its size
// and the time it was last written.
struct FileStamp {
    uint64_t volume;
    uint64_t file;
    int64_t size;
    int64_t written;
};
// Fills *stamp for an open file: 0, or -1 (stamp zeroed) when the system
// cannot tell.
int file_stamp(FILE* file, FileStamp* stamp);
inline int same_file_stamp(const FileStamp& a, const FileStamp& b) {
    return a.volume == b.volume && a.file == b.file && a.size == b.size && a.written == b.written;
}
