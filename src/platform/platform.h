// The platform seam: console keys, the millisecond clock, pauses, the screen
// saver and the idle wait. One implementation file per platform.
#pragma once

#include <cstdint>

// Prepares the console for the run: standard output unbuffered; on POSIX a
// terminal on standard input goes into non-canonical, no-echo mode and is put
// back by console_restore() and on SIGINT, SIGTERM and SIGHUP.
void console_start();
void console_restore();

// 1 when a key code is waiting, without waiting for one (_kbhit).
int key_waiting();
// Reads one key code without echo, waiting for it (_getch). Extended keys
// come as two codes: 0 or 224, then the key's scan code, as a Windows console
// gives them. When no key can ever come (standard input ended), 27 (esc).
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

// Screen-saver-active setting of the desktop (no-op outside Windows).
int screen_saver_active();
void set_screen_saver_active(int active);

// Blocks without using the processor until input waits on the serial port, a
// key waits, or timeout_ms has passed. The polling loops call it when a pass
// found nothing to do, with the time left to their next deadline.
void idle_wait(uint32_t timeout_ms);

// Milliseconds from now until the signed 32-bit deadline, 0 once it is due.
inline uint32_t ms_until(uint32_t deadline) {
    int32_t left = static_cast<int32_t>(deadline - clock_ms());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

// The program's own file, for reading an appended image: argv0 when it names
// a file, else the path the operating system gives for the running program
// (a program started through the command search path has a bare argv0).
const char* own_program_file(const char* argv0);
