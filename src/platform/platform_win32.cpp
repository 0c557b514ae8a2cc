// The platform seam on Windows: the console library's key calls, the
// multimedia clock, Sleep, the thread's execution state and the screen-saver
// switch that keep the display on, and an idle wait on the serial port's
// input event and the console input handle.
#include <conio.h>
#include <cstdio>
#include <io.h>
#include <share.h>
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

// 1 while this run has switched the desktop's screen saver off: it found it
// on, and puts it back on however it ends. A run that found it off (another
// kelo's doing, or the user's) leaves it alone.
volatile LONG saver_switched_off = 0;

void restore_screen_saver() {
    if (InterlockedExchange(&saver_switched_off, 0))
        SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, TRUE, nullptr, 0);
}

// The console's input, where the keys come from whatever standard input is
// (the console library's calls read the console, not standard input);
// nullptr when the process has no console: no key can ever come. Chosen
// once, so that every key call asks the same source.
HANDLE console_keys = nullptr;

HANDLE open_console_input() {
    HANDLE input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return nullptr;
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) return input;
    CloseHandle(input);
    return nullptr;
}

void (*volatile abrupt_end_hook)(int status) = nullptr;
// 1 during the closing pause: Ctrl-C and Ctrl-Break end the pause, and the
// run keeps its status; 2 once one of them came.
volatile LONG closing_pause = 0;

// Ctrl-C, Ctrl-Break, a closed window, logoff, shutdown: the run ends as a
// failure. Windows closes the port and gives up the execution state.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (InterlockedCompareExchange(&closing_pause, 2, 1) != 0) return TRUE;
        [[fallthrough]];
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        std::fflush(stdout);
        restore_screen_saver();
        if (abrupt_end_hook != nullptr) abrupt_end_hook(1);
        ExitProcess(1);
    default:
        return FALSE;
    }
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
    // The C library buffers a standard error that is not a console: its
    // lines (an argument not read, a port's reason) would come out at the
    // end, behind standard output's.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    // Sleep and the waits then keep to the millisecond, as the pauses need.
    if (!timer_period_set && timeBeginPeriod(1) == TIMERR_NOERROR) timer_period_set = 1;
    if (console_keys == nullptr) console_keys = open_console_input();
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void console_pass_signal_keys() {}

void console_restore() {
    std::fflush(stdout);
    if (timer_period_set) timeEndPeriod(1);
    timer_period_set = 0;
}

int key_waiting() {
    return console_keys != nullptr && _kbhit() ? 1 : 0;
}

int keyboard_ended() {
    return console_keys == nullptr;
}

int read_key() {
    // Without a console _getch would wait for ever. After a prefix (0 or
    // 224) it gives the key's second code at once: the pair is whole.
    if (console_keys == nullptr) return 27;
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

void pause_us(uint32_t us) {
    // Sleep may last up to a millisecond longer than asked.
    if (us >= 2000) Sleep(us / 1000 - 1);
}

void keep_display_on(int on) {
    // Sleep and the display's power-off: a request of this thread, which
    // Windows drops however the process ends.
    SetThreadExecutionState(on ? ES_CONTINUOUS | ES_DISPLAY_REQUIRED | ES_SYSTEM_REQUIRED
                               : ES_CONTINUOUS);
    // The screen saver: a desktop setting, switched off (not written to the
    // user's profile, not broadcast) only when it was on.
    if (!on) return restore_screen_saver();
    BOOL active = FALSE;
    if (saver_switched_off || !SystemParametersInfoA(SPI_GETSCREENSAVEACTIVE, 0, &active, 0) ||
        !active)
        return;
    if (SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, FALSE, nullptr, 0)) saver_switched_off = 1;
}

namespace {

// Blocks until input waits on the serial port (or its device has gone),
// a key waits when keys count, or timeout_ms has passed.
void wait_for_input(uint32_t timeout_ms, int keys_count) {
    uint32_t deadline = clock_ms() + timeout_ms;
    HANDLE keys = keys_count ? console_keys : nullptr;
    for (;;) {
        // The port's event is armed before the queue is looked at, so input
        // arriving in between still ends the wait.
        HANDLE port_event = serial_port.input_event();
        if (serial_port.input_count() > 0 || serial_port.is_lost() || (keys_count && key_waiting()))
            return;
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

} // namespace

void idle_wait(uint32_t timeout_ms) {
    wait_for_input(timeout_ms, 1);
}

void port_wait(uint32_t timeout_ms) {
    wait_for_input(timeout_ms, 0);
}

const char* own_program_file(const char* argv0) {
    static char module_path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, module_path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        DWORD attributes = GetFileAttributesA(module_path);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return module_path;
    }
    return argv0;
}

FILE* open_for_reading(const char* path) {
    FILE* file = _fsopen(path, "rb", _SH_DENYWR);
    if (file != nullptr || GetLastError() != ERROR_SHARING_VIOLATION) return file;
    // Another program holds it open for writing (an editor, a copy, a
    // backup): it is read as it stands, and the download compares its
    // bytes with the checked image before each section's end.
    file = std::fopen(path, "rb");
    static int said = 0;
    if (file != nullptr && !said) {
        said = 1;
        std::fprintf(stderr,
                     "kelo: %s is open for writing in another program; it is read as it "
                     "stands and checked again before each section is programmed\n",
                     path);
    }
    return file;
}

int file_stamp(FILE* file, FileStamp* stamp) {
    *stamp = FileStamp{};
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return -1;
    stamp->volume = info.dwVolumeSerialNumber;
    stamp->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp->size =
        static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    stamp->written =
        static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                             info.ftLastWriteTime.dwLowDateTime);
    return 0;
}

void on_abrupt_end(void (*hook)(int status)) {
    abrupt_end_hook = hook;
}

void closing_pause_begins() {
    InterlockedExchange(&closing_pause, 1);
}

int closing_pause_cut() {
    return closing_pause == 2;
}

void system_reason(unsigned long error, char* text, int size) {
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, static_cast<DWORD>(size), nullptr);
    while (length > 0 &&
           (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        --length;
    text[length] = '\0';
    if (length == 0) wsprintfA(text, "system error %lu", error);
}

intptr_t open_for_appending(const char* path, char* reason, int size) {
    // Appending only: each write goes to the end of the file as one piece.
    // Read too, to look at the file's last byte.
    HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) return reinterpret_cast<intptr_t>(file);
    system_reason(GetLastError(), reason, size);
    return -1;
}

int append_line(intptr_t file, const char* line, int32_t count, char* reason, int size) {
    HANDLE handle = reinterpret_cast<HANDLE>(file);
    LARGE_INTEGER length;
    char last = '\n';
    DWORD got = 0;
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &length) &&
        length.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(length.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((length.QuadPart - 1) >> 32);
        if (!ReadFile(handle, &last, 1, &got, &at) || got != 1) last = '\n';
    }
    if (last == '\n') {
        ++line;
        --count;
    }
    DWORD written = 0;
    if (WriteFile(handle, line, static_cast<DWORD>(count), &written, nullptr) &&
        written == static_cast<DWORD>(count))
        return 0;
    if (reason != nullptr) system_reason(GetLastError(), reason, size);
    return -1;
}

void host_name(char* name, int size) {
    DWORD length = static_cast<DWORD>(size);
    if (size > 0 && !GetComputerNameA(name, &length)) name[0] = '\0';
}
