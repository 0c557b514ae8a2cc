// End-to-end test harness: the simulated instrument as a process (Sim), a
// runner for the programs under test (run_program), and a small client for
// talking to a serial line directly (SerialClient).
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

// Paths of the built programs.
std::string kelo_path();
std::string sim_path();
// A program in the build tree: build_path("tools/mkimage/mkimage").
std::string build_path(const std::string& relative);

// The simulated K940 running as a child process in a private temporary
// directory, reachable at link() (for KELO_COM1). Starting throws
// std::runtime_error when the simulator fails or its link does not appear
// within 5 s. Set KELO_KEEP_TEMP=1 to keep the directory for inspection.
class Sim {
  public:
    // scenario: "key value" lines (see k940-sim --help); extra_args are
    // passed on, e.g. {"--set", "baud=9600"}.
    explicit Sim(const std::string& scenario = "", const std::vector<std::string>& extra_args = {});
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    const std::string& dir() const { return dir_; }
    const std::string& link() const { return link_; }
    pid_t pid() const { return pid_; }
    // "KELO_COM1=<link>", for RunOptions::env.
    std::string com1_env() const { return "KELO_COM1=" + link_; }

    // Every byte kelo sent, in order.
    std::string rx() const;
    // The event transcript: "<ms> <event>" lines.
    std::string transcript() const;
    // What the simulator printed on standard output and standard error.
    std::string output() const;
    std::string errors() const;
    // The memory programmed in section n (from 1), as a file and as bytes
    // ("" when the section does not exist yet).
    std::string memory_path(int section) const;
    std::string memory(int section) const;

    // Waits until the transcript contains text; false after timeout_s.
    bool wait_for(const std::string& text, double timeout_s = 5) const;

    // SIGUSR1: the instrument restarts at once.
    void power_cycle();
    // SIGTERM and wait (SIGKILL after 5 s). The simulator's exit status, or
    // 128 + signal; later calls return the first result.
    int stop();
    // Waits up to timeout_s for the simulator to end by itself (a lost line
    // ends it): its status as stop() gives it, or -1 while it still runs.
    int wait_end(double timeout_s);

    // When the line was lost / the instrument hung, in now_seconds(), from
    // the transcript; -1 when it did not happen (yet).
    double lost_at() const;
    double hung_at() const;

  private:
    std::string dir_;
    std::string link_;
    pid_t pid_ = -1;
    int status_ = -1;
};

struct RunResult {
    int status = -1; // exit code, or 128 + signal
    std::string out;
    std::string err;
    double seconds = 0;
    bool timed_out = false;
    double cpu_seconds = 0; // user and system time the child used
    double ended_at = 0;    // now_seconds() when the child was seen to end
};

// One step of the keys fed to standard input. The step waits until the
// program's standard output contains after_output (when given; searched
// behind the match of the previous step), then delay_ms more (counted from
// the previous step when there is no text to wait for), then sends bytes.
struct KeyStep {
    int delay_ms = 0;
    std::string after_output;
    std::string bytes;
};

// Key steps by their trigger: bytes once standard output shows text (and
// delay_ms more), or delay_ms after the previous step.
inline KeyStep when_output(const std::string& text, const std::string& bytes, int delay_ms = 0) {
    return KeyStep{delay_ms, text, bytes};
}
inline KeyStep after_ms(int delay_ms, const std::string& bytes) {
    return KeyStep{delay_ms, std::string(), bytes};
}

// Set the fields by name (options.timeout_s = 5): designated initializers
// that leave fields out trip -Wmissing-field-initializers.
struct RunOptions {
    std::vector<std::string> env; // "NAME=value", added to the environment
    // Without keys, standard input is /dev/null; with keys a pipe that stays
    // open (an ended input reads as esc to kelo) unless close_stdin_after_keys.
    std::vector<KeyStep> keys;
    bool close_stdin_after_keys = false;
    // Standard input and output on a pseudo-terminal instead (out then holds
    // what the terminal shows, line ends as CR LF). Keys go to the terminal.
    bool terminal = false;
    double timeout_s = 60; // then SIGKILL and timed_out
    std::string cwd;       // working directory, when not empty
};

// Runs argv[0] (a path) with argv, capturing standard output and standard
// error separately. Throws std::runtime_error when the program cannot start.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// A serial line seen from the computer's side: opens the device raw at a rate.
class SerialClient {
  public:
    explicit SerialClient(const std::string& path, unsigned baud = 38400);
    ~SerialClient();
    SerialClient(const SerialClient&) = delete;
    SerialClient& operator=(const SerialClient&) = delete;

    void set_baud(unsigned baud);
    void write(const std::string& bytes);
    // Reads until what this call received contains until, or timeout_s passed;
    // returns what it received.
    std::string read_until(const std::string& until, double timeout_s);
    // Reads everything that arrives within seconds.
    std::string read_for(double seconds);
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// One S-record line (without line end) with a correct byte count and
// checksum; type '0'..'9' decides the width of the address.
std::string make_srecord(char type, uint32_t address, const std::vector<uint8_t>& data);

// Appends what a non-blocking descriptor holds now to into; false once the
// other end is gone (end of file, or EIO from a pty whose slave is closed).
bool drain(int fd, std::string& into);

// Seconds on a monotonic clock.
double now_seconds();

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);

} // namespace harness
