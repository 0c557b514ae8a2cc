// The platform seam on POSIX: the terminal's settings and the signals that
// end or stop a run, keys read from standard input (decoded by the key
// decoder to the codes a Windows console gives), a monotonic millisecond
// clock, pauses and the idle wait, which watches the port and the keys.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/key_decoder.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

termios saved_termios; // as found at start: put back on every way out
termios raw_termios;   // kelo's settings for the run
// 1 while kelo's settings are meant to be in effect (the signal handlers
// read it).
volatile sig_atomic_t console_raw = 0;
int stdin_is_tty = 0;
int stdin_ended = 0;

// Keys decoded from standard input and not yet read.
KeyDecoder decoder;

// A loop looks for keys on every pass, but standard input is asked again
// only this long after it was found quiet or after it filled the key queue:
// a wait that sees it readable lifts the rest at once, and an endless input
// (`yes |`) is read in chunks at most this often instead of keeping every
// loop awake.
constexpr uint32_t stdin_rest_ms = 10;
int stdin_resting = 0;
uint32_t stdin_rest_since = 0;
// Bytes of standard input read and not yet decoded.
unsigned char input[64];
int input_next = 0;
int input_end = 0;

void rest_stdin() {
    stdin_resting = 1;
    stdin_rest_since = clock_ms();
}

// Milliseconds until standard input may be asked again; 0 when it may now.
int stdin_rest_left() {
    if (!stdin_resting) return 0;
    int left = static_cast<int>(ms_until(stdin_rest_since + stdin_rest_ms));
    if (left == 0) stdin_resting = 0;
    return left;
}

// 1 when standard input may be read: a terminal only while kelo's job is
// in the foreground (reading it from the background would stop kelo).
int stdin_ours() {
    return !stdin_is_tty || tcgetpgrp(STDIN_FILENO) == getpgrp();
}

int poll_stdin(int timeout_ms) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int ready;
    do ready = poll(&p, 1, timeout_ms);
    while (ready < 0 && errno == EINTR);
    if (ready == 0) rest_stdin();
    return ready > 0;
}

// One byte of standard input if one is there now, else -1. End of input
// marks the keyboard gone.
int next_byte() {
    if (input_next < input_end) return input[input_next++];
    if (stdin_ended || stdin_rest_left() > 0 || !stdin_ours() || !poll_stdin(0)) return -1;
    ssize_t n;
    do n = read(STDIN_FILENO, input, sizeof input);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        input_next = 0;
        input_end = static_cast<int>(n);
        return input[input_next++];
    }
    if (n == 0 || errno != EAGAIN) stdin_ended = 1;
    return -1;
}

// Moves bytes of standard input through the decoder while it has room for
// a whole key, never waiting; standard input rests for stdin_rest_ms when
// it was found quiet or filled the decoder. A key left pending when no byte
// came is settled as the decoder says, and by the end of input.
void fill_keys() {
    for (;;) {
        if (!decoder_has_room(decoder)) return rest_stdin();
        int c = next_byte();
        if (c < 0) return settle_keys(decoder, clock_ms(), stdin_ended);
        decode_key_byte(decoder, c, stdin_is_tty, clock_ms());
    }
}

// Milliseconds until a pending key settles without a further byte, or -1.
int pending_time_left() {
    return settle_time_left(decoder, clock_ms());
}

// Signals whose default action ends the process: kelo's changes are undone
// and the run's record written, then the signal ends the process as it
// would have without kelo's handler. The real-time signals too.
const int ending_signals[] = {
    SIGINT,    SIGTERM, SIGHUP,    SIGQUIT, SIGALRM, SIGUSR1,
    SIGUSR2,   SIGXCPU, SIGVTALRM, SIGPROF, SIGTRAP, SIGSYS,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};
// A write into a pipe nobody reads or beyond the file size limit fails
// (EPIPE, EFBIG) and is reported, instead of ending the run without a word.
const int ignored_signals[] = {SIGPIPE, SIGXFSZ};
// Faults: undone too, then passed to whoever handled them before kelo (a
// sanitizer, say), or to the default action.
const int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
struct sigaction fault_actions_before[sizeof fault_signals / sizeof fault_signals[0]];

// Only async-signal-safe calls from here to the end of the handlers.

void unblock_signal(int sig) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void die_of(int sig) {
    signal(sig, SIG_DFL);
    unblock_signal(sig);
    raise(sig);
}

// Sets the terminal's settings. With SIGTTOU blocked, a run that went to
// the background meanwhile is never stopped by it.
int set_terminal(const termios* settings) {
    sigset_t set;
    sigset_t before;
    sigemptyset(&set);
    sigaddset(&set, SIGTTOU);
    sigprocmask(SIG_BLOCK, &set, &before);
    int result = tcsetattr(STDIN_FILENO, TCSANOW, settings);
    int saved_errno = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = saved_errno;
    return result;
}

// The terminal's settings and the port's exclusive flag as they were. The
// terminal only while kelo's job has it: in the background the shell's
// settings are in force.
void undo_changes() {
    if (console_raw && stdin_ours()) set_terminal(&saved_termios);
    int fd = serial_port.poll_fd();
    if (fd >= 0) ioctl(fd, TIOCNXCL);
}

void (*volatile abrupt_end_hook)(int status) = nullptr;
// 1 during the closing pause: Ctrl-C and SIGTERM end the pause, and the run
// keeps its status; 2 once one of them came.
volatile sig_atomic_t closing_pause = 0;

void on_ending_signal(int sig) {
    if (closing_pause != 0 && (sig == SIGINT || sig == SIGTERM)) {
        closing_pause = 2;
        return;
    }
    undo_changes();
    if (abrupt_end_hook != nullptr) abrupt_end_hook(128 + sig);
    die_of(sig);
}

void on_fault_signal(int sig, siginfo_t* info, void* context) {
    undo_changes();
    if (abrupt_end_hook != nullptr) abrupt_end_hook(128 + sig);
    for (size_t i = 0; i < sizeof fault_signals / sizeof fault_signals[0]; ++i) {
        if (fault_signals[i] != sig) continue;
        const struct sigaction& before = fault_actions_before[i];
        sigaction(sig, &before, nullptr);
        if (before.sa_flags & SA_SIGINFO) return before.sa_sigaction(sig, info, context);
        if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN)
            return before.sa_handler(sig);
    }
    die_of(sig);
}

void on_stop_signal(int);

void catch_signal(int sig, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// Back in the foreground after a stop: kelo's settings again. A run
// continued in the background leaves the terminal to the shell; its next
// read of a key stops it until it is brought back.
void take_terminal_again() {
    int saved_errno = errno;
    if (console_raw && stdin_ours()) set_terminal(&raw_termios);
    errno = saved_errno;
}

// Ctrl-Z: the shell gets its terminal back as it left it while kelo stands.
void on_stop_signal(int) {
    int saved_errno = errno;
    if (console_raw && stdin_ours()) set_terminal(&saved_termios);
    signal(SIGTSTP, SIG_DFL);
    unblock_signal(SIGTSTP);
    raise(SIGTSTP);
    // Continued, or not stopped at all (the kernel drops the stop of a
    // process group no shell controls).
    catch_signal(SIGTSTP, on_stop_signal, SA_RESTART);
    errno = saved_errno;
    take_terminal_again();
}

// Also after SIGSTOP, which no handler sees.
void on_continue_signal(int) {
    take_terminal_again();
}

// A signal that was ignored when kelo started stays ignored (nohup, a
// background job without job control).
int ignored(int sig) {
    struct sigaction current {};
    return sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

} // namespace

void console_start() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    for (int sig : ending_signals)
        if (!ignored(sig)) catch_signal(sig, on_ending_signal, 0);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        if (!ignored(sig)) catch_signal(sig, on_ending_signal, 0);
#endif
    for (int sig : ignored_signals) signal(sig, SIG_IGN);
    for (size_t i = 0; i < sizeof fault_signals / sizeof fault_signals[0]; ++i) {
        struct sigaction action {};
        action.sa_sigaction = on_fault_signal;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(fault_signals[i], &action, &fault_actions_before[i]);
    }
    stdin_is_tty = isatty(STDIN_FILENO);
    if (!stdin_is_tty || tcgetattr(STDIN_FILENO, &saved_termios) != 0) return;
    raw_termios = saved_termios;
    raw_termios.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw_termios.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw_termios.c_cc[VMIN] = 1;
    raw_termios.c_cc[VTIME] = 0;
    // Marked first: a signal in between then puts back what may already
    // have changed. A run started in the background leaves the terminal to
    // the shell until it is brought to the foreground (SIGCONT).
    console_raw = 1;
    if (stdin_ours() && set_terminal(&raw_termios) != 0) {
        console_raw = 0;
        return;
    }
    if (!ignored(SIGTSTP)) catch_signal(SIGTSTP, on_stop_signal, SA_RESTART);
    catch_signal(SIGCONT, on_continue_signal, SA_RESTART);
}

void console_pass_signal_keys() {
    if (!console_raw) return;
    // The handlers must not put back half-changed settings.
    sigset_t set;
    sigset_t before;
    sigemptyset(&set);
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    sigprocmask(SIG_BLOCK, &set, &before);
    raw_termios.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw_termios.c_cc[VQUIT] = _POSIX_VDISABLE;
#ifdef VDSUSP
    raw_termios.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
    if (stdin_ours()) set_terminal(&raw_termios);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void console_restore() {
    if (console_raw) {
        console_raw = 0;
        if (stdin_ours()) set_terminal(&saved_termios);
    }
}

int key_waiting() {
    fill_keys();
    return decoder.count > 0;
}

int keyboard_ended() {
    return stdin_ended && decoder.count == 0;
}

int read_key() {
    int code = 0;
    while (!key_waiting()) {
        if (stdin_ended) return 27; // no key can ever come: give up like esc
        int rest = stdin_rest_left();
        if (rest > 0 || !stdin_ours())
            pause_ms(static_cast<uint32_t>(rest > 0 ? rest : stdin_rest_ms));
        else
            poll_stdin(pending_time_left());
    }
    take_key_code(decoder, &code);
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

void pause_us(uint32_t us) {
    timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

void keep_display_on(int) {}

void set_modem_line(int fd, ModemLine line, int on) {
    int bits = line == modem_dtr ? TIOCM_DTR : TIOCM_RTS;
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

void idle_wait(uint32_t timeout_ms) {
    if (timeout_ms == 0 || serial_port.is_lost() || key_waiting()) return;
    uint32_t deadline = clock_ms() + timeout_ms;
    for (uint32_t left = timeout_ms; left > 0; left = ms_until(deadline)) {
        pollfd fds[2];
        int n = 0;
        int port = serial_port.poll_fd();
        if (port >= 0) fds[n++] = pollfd{port, POLLIN, 0};
        // Standard input while it does not rest, and a terminal only while
        // kelo has it (SIGCONT ends the poll when that changes).
        int step = static_cast<int>(left);
        int rest = stdin_rest_left();
        if (rest > 0 && rest < step) step = rest;
        if (!stdin_ended && rest == 0 && stdin_ours()) fds[n++] = pollfd{STDIN_FILENO, POLLIN, 0};
        // A pending Esc becomes a key when its time is up, with no byte.
        int pending_left = pending_time_left();
        if (pending_left >= 0 && pending_left < step) step = pending_left;
        int ready = poll(fds, static_cast<nfds_t>(n), step);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        if (ready == 0) {
            if (key_waiting()) return;
            continue;
        }
        if (port >= 0 && (fds[0].revents & POLLIN)) return;
        // A port that hangs up stays "ready" for ever: its device is gone,
        // which the caller learns from the next read.
        if (port >= 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            serial_port.mark_lost();
            return;
        }
        // The end of input is news too: the caller may stop waiting for keys.
        int was_ended = stdin_ended;
        if (key_waiting() || stdin_ended != was_ended) return;
    }
}

void port_wait(uint32_t timeout_ms) {
    int port = serial_port.poll_fd();
    if (serial_port.is_lost()) return;
    if (port < 0) return pause_ms(timeout_ms);
    uint32_t deadline = clock_ms() + timeout_ms;
    for (uint32_t left = timeout_ms; left > 0; left = ms_until(deadline)) {
        pollfd p{port, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        // A hang-up with nothing left to read: the device is gone.
        if (ready > 0 && !(p.revents & POLLIN)) serial_port.mark_lost();
        return;
    }
}

namespace {

int regular_file(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

const char* own_program_file(const char* argv0) {
    // A path (it holds a slash) names the file that was started, also when
    // the dynamic loader started it ("ld.so ./kelo-demo"), where the
    // system's name for the running program is the loader's.
    if (std::strchr(argv0, '/') != nullptr && regular_file(argv0)) return argv0;
    // A bare name was found through the command search path, and may name
    // another file in the current folder.
    static char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return argv0;
    path[n] = '\0';
    return regular_file(path) ? path : argv0;
}

void on_abrupt_end(void (*hook)(int status)) {
    abrupt_end_hook = hook;
}

void closing_pause_begins() {
    closing_pause = 1;
}

int closing_pause_cut() {
    return closing_pause == 2;
}
