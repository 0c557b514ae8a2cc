// The platform seam on POSIX: terminal keys decoded to the codes a Windows
// console gives, a monotonic millisecond clock, pauses and the idle wait.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

// A lone Esc is told from the start of a sequence by this wait for the
// bytes that would follow it.
constexpr int escape_wait_ms = 30;

termios saved_termios;
volatile sig_atomic_t termios_changed = 0;
int stdin_is_tty = 0;
int stdin_ended = 0;

// Decoded key codes not yet read.
unsigned char keys[16];
int key_head = 0;
int key_count = 0;

void push_key(int code) {
    if (key_count < static_cast<int>(sizeof keys)) {
        keys[(key_head + key_count) % sizeof keys] = static_cast<unsigned char>(code);
        ++key_count;
    }
}

void push_extended(int prefix, int scan) {
    push_key(prefix);
    push_key(scan);
}

int poll_stdin(int timeout_ms) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int ready;
    do ready = poll(&p, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// One byte of standard input: the byte, or -1 when none came within
// timeout_ms (-1 waits for ever). End of input marks the keyboard gone.
int next_byte(int timeout_ms) {
    if (stdin_ended || !poll_stdin(timeout_ms)) return -1;
    unsigned char b;
    ssize_t n;
    do n = read(STDIN_FILENO, &b, 1);
    while (n < 0 && errno == EINTR);
    if (n == 1) return b;
    if (n == 0 || errno != EAGAIN) stdin_ended = 1;
    return -1;
}

// Scan codes of a VT "CSI n ~" key, by n.
int tilde_key(int n, int* prefix) {
    *prefix = 224;
    switch (n) {
    case 1:
    case 7:
        return 71; // Home
    case 2:
        return 82; // Ins
    case 3:
        return 83; // Del
    case 4:
    case 8:
        return 79; // End
    case 5:
        return 73; // PgUp
    case 6:
        return 81; // PgDn
    case 23:
        return 133; // F11
    case 24:
        return 134; // F12
    default:
        break;
    }
    *prefix = 0;
    if (n >= 11 && n <= 15) return 59 + n - 11; // F1..F5
    if (n >= 17 && n <= 21) return 64 + n - 17; // F6..F10
    return -1;
}

// Scan code of the final letter of "CSI x" or "SS3 x".
int letter_key(int c, int* prefix) {
    *prefix = 224;
    switch (c) {
    case 'A':
        return 72;
    case 'B':
        return 80;
    case 'C':
        return 77;
    case 'D':
        return 75;
    case 'H':
        return 71;
    case 'F':
        return 79;
    default:
        break;
    }
    *prefix = 0;
    if (c >= 'P' && c <= 'S') return 59 + c - 'P'; // F1..F4
    return -1;
}

// Decodes what follows an Esc. Unknown sequences are dropped whole.
void decode_escape() {
    int c = next_byte(escape_wait_ms);
    if (c < 0) return push_key(27);
    int prefix = 0;
    int scan = -1;
    if (c == 'O') {
        c = next_byte(escape_wait_ms);
        scan = letter_key(c, &prefix);
    } else if (c == '[') {
        int n = 0;
        c = next_byte(escape_wait_ms);
        if (c == '[') { // Linux console F1..F5: "ESC [ [ A".."E"
            c = next_byte(escape_wait_ms);
            if (c >= 'A' && c <= 'E') push_extended(0, 59 + c - 'A');
            return;
        }
        // Parameters: only the first number matters (modifiers are ignored).
        int first = 1;
        while (c >= 0 && ((c >= '0' && c <= '9') || c == ';')) {
            if (c == ';')
                first = 0;
            else if (first)
                n = n * 10 + (c - '0');
            c = next_byte(escape_wait_ms);
        }
        scan = c == '~' ? tilde_key(n, &prefix) : letter_key(c, &prefix);
    } else {
        push_key(27); // Alt+key arrives as Esc and the key
        push_key(c);
        return;
    }
    if (scan >= 0) push_extended(prefix, scan);
}

void decode_terminal_byte(int c) {
    if (c == 27) return decode_escape();
    push_key(c == 127 ? 8 : c); // the Backspace key sends DEL on terminals
}

// Moves whatever standard input holds now into the key queue.
void fill_keys() {
    while (key_count == 0) {
        int c = next_byte(0);
        if (c < 0) return;
        if (stdin_is_tty)
            decode_terminal_byte(c);
        else
            push_key(c);
    }
}

void restore_terminal() {
    if (termios_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_termios);
        termios_changed = 0;
    }
}

// Only async-signal-safe calls: put the terminal and the port's exclusive
// flag back, then die of the same signal.
void on_fatal_signal(int sig) {
    if (termios_changed) tcsetattr(STDIN_FILENO, TCSANOW, &saved_termios);
    int fd = serial_port.poll_fd();
    if (fd >= 0) ioctl(fd, TIOCNXCL);
    signal(sig, SIG_DFL);
    raise(sig);
}

} // namespace

void console_start() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    static const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : fatal_signals) {
        struct sigaction action {};
        action.sa_handler = on_fatal_signal;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
    stdin_is_tty = isatty(STDIN_FILENO);
    if (!stdin_is_tty || tcgetattr(STDIN_FILENO, &saved_termios) != 0) return;
    termios raw = saved_termios;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) termios_changed = 1;
}

void console_restore() {
    restore_terminal();
}

int key_waiting() {
    fill_keys();
    return key_count > 0;
}

int keyboard_ended() {
    return stdin_ended && key_count == 0;
}

int read_key() {
    while (!key_waiting()) {
        if (stdin_ended) return 27; // no key can ever come: give up like esc
        poll_stdin(-1);
    }
    int code = keys[key_head];
    key_head = (key_head + 1) % static_cast<int>(sizeof keys);
    --key_count;
    return code;
}

uint32_t clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

int64_t wall_clock_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void pause_ms(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

int screen_saver_active() {
    return 0;
}

void set_screen_saver_active(int) {}

void idle_wait(uint32_t timeout_ms) {
    if (timeout_ms == 0 || key_waiting()) return;
    uint32_t deadline = clock_ms() + timeout_ms;
    for (;;) {
        pollfd fds[2];
        int n = 0;
        int port = serial_port.poll_fd();
        if (port >= 0) fds[n++] = pollfd{port, POLLIN, 0};
        if (!stdin_ended) fds[n++] = pollfd{STDIN_FILENO, POLLIN, 0};
        uint32_t left = ms_until(deadline);
        if (left == 0) return;
        int ready = poll(fds, static_cast<nfds_t>(n), static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        // A port that hangs up stays "ready" for ever; it must not turn the
        // wait into a spin, so only real input ends it.
        if (port >= 0 && (fds[0].revents & POLLIN)) return;
        if (key_waiting()) return;
        if (port >= 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            pause_ms(left < 10 ? left : 10);
        }
    }
}

const char* own_program_file(const char* argv0) {
    struct stat info {};
    if (stat(argv0, &info) == 0) return argv0;
    static char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return argv0;
    path[n] = '\0';
    return path;
}
