// The platform seam on Windows: the console library's key calls, the
// multimedia clock, Sleep, the desktop's screen-saver setting, and an idle
// wait on the serial port's input event and the console input handle.
#include <conio.h>
#include <cstdio>
#include <windows.h>

#include <mmsystem.h>

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

// Nap of an idle wait that cannot be woken by an event (no input event from
// the port, or a key record that _kbhit does not count): short enough that
// a reply is taken up within a millisecond or two (timeBeginPeriod(1)).
constexpr uint32_t poll_step_ms = 1;

int timer_period_set = 0;

// Standard input when it is a console, else nullptr (a file or a pipe: no
// key can ever come from it).
HANDLE console_input() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return nullptr;
    return GetConsoleMode(input, &mode) ? input : nullptr;
}

// Removes from the front of the console's input queue the records that no
// key read returns (mouse, focus, window and key-release events); they keep
// the console handle signalled and would turn an idle wait into a spin.
// 1 when the queue is empty afterwards, 0 when a key-down record is first.
int drop_non_key_records(HANDLE input) {
    INPUT_RECORD record;
    DWORD count = 0;
    while (PeekConsoleInputA(input, &record, 1, &count) && count == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return 0;
        if (!ReadConsoleInputA(input, &record, 1, &count)) return 0;
    }
    return 1;
}

} // namespace

void console_start() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Sleep and the waits then keep to the millisecond, as the pauses need.
    if (!timer_period_set && timeBeginPeriod(1) == TIMERR_NOERROR) timer_period_set = 1;
}

void console_restore() {
    std::fflush(stdout);
    if (timer_period_set) timeEndPeriod(1);
    timer_period_set = 0;
}

int key_waiting() {
    return _kbhit() ? 1 : 0;
}

int keyboard_ended() {
    return console_input() == nullptr;
}

int read_key() {
    // _getch would wait for ever on input that is not a console.
    if (console_input() == nullptr) return 27;
    return _getch();
}

uint32_t clock_ms() {
    return timeGetTime();
}

int64_t wall_clock_ms() {
    // FILETIME counts 100 ns steps from 1601; time() counts seconds from 1970.
    constexpr int64_t epoch_1970 = 116444736000000000;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    int64_t ticks = (static_cast<int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - epoch_1970) / 10000;
}

void pause_ms(uint32_t ms) {
    Sleep(ms);
}

int screen_saver_active() {
    BOOL active = FALSE;
    SystemParametersInfoA(SPI_GETSCREENSAVEACTIVE, 0, &active, 0);
    return active ? 1 : 0;
}

void set_screen_saver_active(int active) {
    // Last argument 0: the user's profile is not changed, nothing broadcast.
    SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, active ? TRUE : FALSE, nullptr, 0);
}

void idle_wait(uint32_t timeout_ms) {
    uint32_t deadline = clock_ms() + timeout_ms;
    HANDLE keys = console_input();
    for (;;) {
        // The port's event is armed before the queue is looked at, so input
        // arriving in between still ends the wait.
        HANDLE port_event = serial_port.input_event();
        if (serial_port.input_count() > 0 || key_waiting()) return;
        uint32_t left = ms_until(deadline);
        if (left == 0) return;
        int polling = serial_port.is_port_open() && port_event == nullptr;
        if (keys != nullptr && !drop_non_key_records(keys)) {
            // A key-down record _kbhit does not count (a modifier) would
            // keep the handle signalled: poll the keys for this wait.
            keys = nullptr;
            polling = 1;
        }
        HANDLE events[2];
        DWORD count = 0;
        if (port_event != nullptr) events[count++] = port_event;
        if (keys != nullptr) events[count++] = keys;
        DWORD step = polling && left > poll_step_ms ? poll_step_ms : left;
        if (count == 0)
            Sleep(step);
        else
            WaitForMultipleObjects(count, events, FALSE, step);
    }
}

const char* own_program_file(const char* argv0) {
    static char module_path[MAX_PATH];
    DWORD attributes = argv0 != nullptr ? GetFileAttributesA(argv0) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return argv0;
    // A bare "kelo" typed at the prompt names no file in the current folder.
    DWORD length = GetModuleFileNameA(nullptr, module_path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return argv0;
    return module_path;
}
