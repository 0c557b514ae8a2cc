// k940-sim: a K940 instrument on a pseudo-terminal, for trying kelo without
// the instrument and for the end-to-end tests.
//
//   k940-sim --link /tmp/com1 &
//   KELO_COM1=/tmp/com1 kelo
#include "instrument.h"
#include "scenario.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

k940::Requests requests;

void on_stop(int) {
    requests.stop = 1;
}
void on_power_cycle(int) {
    requests.power_cycle = 1;
}

struct Options {
    k940::Scenario scenario;
    std::string link;
    std::string transcript;
    std::string rx_log;
    std::string memory_dir;
};

void usage(FILE* out) {
    std::fprintf(out, "%s",
                 "Usage: k940-sim [SCENARIO-FILE] [--set KEY=VALUE]... [--link PATH]\n"
                 "                [--transcript FILE] [--rx-log FILE] [--memory DIR]\n"
                 "\n"
                 "Simulates a K940 instrument on a pseudo-terminal. The first line of\n"
                 "output names the terminal device; --link makes PATH a symbolic link to it\n"
                 "(removed at exit). SIGUSR1 power-cycles the instrument; SIGTERM, SIGINT\n"
                 "or SIGHUP ends it, and so does a lost line (line_lost_at), with status 0.\n"
                 "\n"
                 "  --set KEY=VALUE   a scenario setting, applied after the file\n"
                 "  --transcript FILE one line per event, milliseconds since start\n"
                 "  --rx-log FILE     every byte received, as received\n"
                 "  --memory DIR      DIR/section-<n>.bin: the memory programmed per section\n"
                 "\n"
                 "Example:\n"
                 "  k940-sim --link /tmp/com1 --set reboot_ms=1000 &\n"
                 "  KELO_COM1=/tmp/com1 kelo\n"
                 "\n");
    std::fprintf(out, "%s", k940::scenario_keys_help());
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::invalid_argument("cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Returns 0 to run, 1 after --help, 2 on a bad command line.
int parse(int argc, char** argv, Options& options) {
    std::string scenario_file;
    std::vector<std::string> settings;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 1;
        } else if (arg == "--set") {
            settings.push_back(value());
        } else if (arg == "--link") {
            options.link = value();
        } else if (arg == "--transcript") {
            options.transcript = value();
        } else if (arg == "--rx-log") {
            options.rx_log = value();
        } else if (arg == "--memory") {
            options.memory_dir = value();
        } else if (arg.starts_with("-") || !scenario_file.empty()) {
            throw std::invalid_argument("unexpected argument " + arg);
        } else {
            scenario_file = arg;
        }
    }
    if (!scenario_file.empty())
        k940::apply_scenario_text(options.scenario, read_file(scenario_file), scenario_file);
    for (const std::string& setting : settings) {
        size_t equals = setting.find('=');
        if (equals == std::string::npos)
            throw std::invalid_argument("--set " + setting + ": KEY=VALUE expected");
        k940::apply_setting(options.scenario, setting.substr(0, equals),
                            setting.substr(equals + 1));
    }
    return 0;
}

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
};

// Opens the pair and keeps the slave end open, so that its user closing and
// reopening it never hangs the master up; the slave starts raw, or dirty as
// another program may leave a port: hardware and XON/XOFF flow control,
// parity, two stop bits, 7 bits, bit 7 stripped, canonical with echo.
Pty open_pty(bool dirty) {
    Pty pty;
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0)
        throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
    const char* name = ptsname(pty.master);
    if (name == nullptr) throw std::runtime_error("ptsname failed");
    pty.path = name;
    pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0)
        throw std::runtime_error("cannot open " + pty.path + ": " + std::strerror(errno));
    termios settings{};
    if (tcgetattr(pty.slave, &settings) == 0) {
        cfmakeraw(&settings);
        if (dirty) {
            settings.c_cflag = (settings.c_cflag & ~CSIZE) | CS7 | CRTSCTS | PARENB | CSTOPB;
            settings.c_iflag |= IXON | IXOFF | ISTRIP | INPCK;
            settings.c_lflag |= ICANON | ECHO;
        }
        cfsetispeed(&settings, B38400);
        cfsetospeed(&settings, B38400);
        tcsetattr(pty.slave, TCSANOW, &settings);
    }
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return pty;
}

// The link appears complete or not at all: a temporary name, then rename.
void make_link(const std::string& link, const std::string& target) {
    std::string temp = link + ".tmp" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
        unlink(temp.c_str());
        throw std::runtime_error("cannot create link " + link + ": " + std::strerror(errno));
    }
}

// Removes the link only while it still points to this instrument.
void remove_link(const std::string& link, const std::string& target) {
    char buffer[4096];
    ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return;
    buffer[n] = '\0';
    if (target == buffer) unlink(link.c_str());
}

sigset_t install_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = on_power_cycle;
    sigaction(SIGUSR1, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Blocked except while the loop waits, so no flag is missed between its
    // check and the wait.
    sigset_t blocked;
    sigset_t wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGHUP);
    sigdelset(&wait_mask, SIGUSR1);
    return wait_mask;
}

int serve(const Options& options) {
    sigset_t wait_mask = install_signals();
    // Timed waits end when they fall due, not up to the default 50 us later:
    // paced, every byte handed over ends such a wait.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Pty pty = open_pty(options.scenario.dirty);
    k940::Outputs outputs;
    outputs.memory_dir = options.memory_dir;
    if (!options.transcript.empty()) {
        outputs.transcript = std::fopen(options.transcript.c_str(), "w");
        if (outputs.transcript == nullptr)
            throw std::runtime_error("cannot write " + options.transcript);
    }
    if (!options.rx_log.empty()) {
        outputs.rx_log =
            open(options.rx_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outputs.rx_log < 0) throw std::runtime_error("cannot write " + options.rx_log);
    }
    k940::Instrument instrument(options.scenario, pty.master, pty.slave, outputs);
    instrument.start();
    std::printf("k940-sim: instrument on %s\n", pty.path.c_str());
    std::fflush(stdout);
    if (!options.link.empty()) make_link(options.link, pty.path);

    instrument.run(requests, wait_mask);

    // A lost line has closed both ends of the pty already; the link goes
    // next, then the files are completed.
    if (!options.link.empty()) remove_link(options.link, pty.path);
    instrument.finish();
    if (outputs.transcript != nullptr) std::fclose(outputs.transcript);
    if (outputs.rx_log >= 0) close(outputs.rx_log);
    if (!instrument.line_lost()) {
        close(pty.slave);
        close(pty.master);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        int parsed = parse(argc, argv, options);
        if (parsed != 0) return parsed == 1 ? 0 : 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "k940-sim: %s (--help lists the options)\n", e.what());
        return 2;
    }
    try {
        return serve(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "k940-sim: %s\n", e.what());
        return 1;
    }
}
