// The instrument of the raw-speed benchmarks: an instrument that answers at
// once and does as little as it can, so that the program at the other end is
// what the benchmark measures. It answers the identification query "?" with
// the simulator's identification (K940, boot 20000620: the boot code of the
// replica counts as current), and every other line with "000 OK" CR LF.
// Nothing is paced, checked or written down on the way: it reads everything
// waiting in one read(), finds the line ends, and sends the replies to every
// line that read completed in one write().
//
//   responder --link PATH [--report FILE]
//
// It runs until SIGTERM or SIGINT, then writes one line to FILE (default:
// standard output):
//
//   records=N first=T0 last=T1 window=S cpu=C
//
// N lines that began with S and a digit; T0 the moment (monotonic clock,
// seconds) of the read that brought the first S at the start of a line;
// T1 the moment of the write of the last reply; S = T1 - T0; C the responder's
// own CPU time (user + system, seconds) from T0 to the end.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stop = 0;

void on_stop(int) {
    stop = 1;
}

double monotonic() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

const char identification[] = "K940,SN1234,20000620,20070215,20060504\r\n";
const char accept[] = "000 OK\r\n";

// Writes all of text, waiting in poll() when the line is full; false when
// the line is gone.
bool write_all(int fd, const char* text, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, text, size);
        if (n > 0) {
            text += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 1000);
    }
    return true;
}

struct Totals {
    long records = 0;
    double first = 0;
    double last = 0;
    double cpu_at_first = 0;
};

// Serves the line until a signal asks to stop.
void serve(int master, const sigset_t& wait_mask, Totals& totals) {
    static char input[65536];
    static char output[65536];
    // The line being received: its length and its first two characters.
    size_t length = 0;
    char head[2] = {0, 0};
    while (!stop) {
        pollfd p{master, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &wait_mask) <= 0) continue;
        ssize_t count = read(master, input, sizeof input);
        if (count <= 0) continue;
        size_t out = 0;
        for (ssize_t i = 0; i < count; ++i) {
            char c = input[i];
            if (c != '\r' && c != '\n') {
                if (length < 2) head[length] = c;
                if (length == 0 && c == 'S' && totals.first == 0) {
                    totals.first = monotonic();
                    totals.cpu_at_first = cpu_seconds();
                }
                ++length;
                continue;
            }
            if (length == 0) continue;
            const char* reply = accept;
            size_t size = sizeof accept - 1;
            if (length == 1 && head[0] == '?') {
                reply = identification;
                size = sizeof identification - 1;
            } else if (head[0] == 'S' && head[1] >= '0' && head[1] <= '9') {
                ++totals.records;
            }
            if (out + size > sizeof output) {
                if (!write_all(master, output, out)) return;
                out = 0;
            }
            std::memcpy(output + out, reply, size);
            out += size;
            length = 0;
        }
        if (out == 0) continue;
        if (!write_all(master, output, out)) return;
        if (totals.records > 0) totals.last = monotonic();
    }
}

} // namespace

int main(int argc, char** argv) {
    const char* link = nullptr;
    const char* report = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--link") == 0) link = argv[i + 1];
        if (std::strcmp(argv[i], "--report") == 0) report = argv[i + 1];
    }
    if (link == nullptr) {
        std::fprintf(stderr, "usage: responder --link PATH [--report FILE]\n");
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = on_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Blocked but while waiting, so that no stop request is missed.
    sigset_t blocked;
    sigset_t wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);

    // The slave end stays open here, so that its user closing it never hangs
    // the master up; it starts raw at 38400 baud.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("responder: no pseudo-terminal");
        return 1;
    }
    std::string device = ptsname(master);
    int slave = open(device.c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    if (slave < 0 || tcgetattr(slave, &settings) != 0) {
        std::perror("responder: cannot set up the terminal");
        return 1;
    }
    cfmakeraw(&settings);
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    tcsetattr(slave, TCSANOW, &settings);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    // The link appears complete or not at all.
    std::string temp = std::string(link) + ".tmp";
    unlink(temp.c_str());
    if (symlink(device.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link) != 0) {
        std::perror("responder: cannot make the link");
        return 1;
    }

    Totals totals;
    serve(master, wait_mask, totals);
    double cpu = totals.records > 0 ? cpu_seconds() - totals.cpu_at_first : 0;
    unlink(link);

    FILE* out = report ? std::fopen(report, "w") : stdout;
    if (out == nullptr) {
        std::perror("responder: cannot write the report");
        return 1;
    }
    std::fprintf(out, "records=%ld first=%.6f last=%.6f window=%.6f cpu=%.3f\n", totals.records,
                 totals.first, totals.last, totals.last - totals.first, cpu);
    if (out != stdout) std::fclose(out);
    close(slave);
    close(master);
    return 0;
}
