// Sim: the simulated instrument as a child process.
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace harness {

namespace {

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kelo-sim-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    return name.data();
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Starts the simulator with its output in files of dir; returns its pid.
pid_t spawn(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::string out = dir + "/sim-out.txt";
    std::string err = dir + "/sim-err.txt";
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid > 0) return pid;
#ifdef __linux__
    // A test that dies must not leave its instrument behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
#endif
    (void)parent;
    int null = open("/dev/null", O_RDONLY);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null < 0 || out_fd < 0 || err_fd < 0) _exit(127);
    dup2(null, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
}

} // namespace

Sim::Sim(const std::string& scenario, const std::vector<std::string>& extra_args) {
    dir_ = make_temp_dir();
    link_ = dir_ + "/com1";
    std::string scenario_file = dir_ + "/scenario.txt";
    std::ofstream(scenario_file, std::ios::binary) << scenario;
    std::vector<std::string> args = {sim_path(),   scenario_file,    "--link",
                                     link_,        "--transcript",   dir_ + "/transcript.txt",
                                     "--rx-log",   dir_ + "/rx.bin", "--memory",
                                     dir_ + "/mem"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    try {
        pid_ = spawn(args, dir_);
        double deadline = now_seconds() + 5;
        struct stat info {};
        while (lstat(link_.c_str(), &info) != 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = decode_status(status);
                throw std::runtime_error("k940-sim ended with status " + std::to_string(status_) +
                                         ": " + errors());
            }
            if (now_seconds() > deadline)
                throw std::runtime_error("k940-sim made no link within 5 s: " + errors());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } catch (...) {
        stop();
        if (!std::getenv("KELO_KEEP_TEMP")) std::filesystem::remove_all(dir_);
        throw;
    }
}

Sim::~Sim() {
    stop();
    // A complaint of the simulator (a sanitizer's, say) shows in the test's log.
    std::string complaints = errors();
    if (!complaints.empty())
        std::fprintf(stderr, "k940-sim (%s): %s", dir_.c_str(), complaints.c_str());
    if (!std::getenv("KELO_KEEP_TEMP")) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string Sim::rx() const {
    return read_file(dir_ + "/rx.bin");
}
std::string Sim::transcript() const {
    return read_file(dir_ + "/transcript.txt");
}
std::string Sim::output() const {
    return read_file(dir_ + "/sim-out.txt");
}
std::string Sim::errors() const {
    return read_file(dir_ + "/sim-err.txt");
}

std::string Sim::memory_path(int section) const {
    return dir_ + "/mem/section-" + std::to_string(section) + ".bin";
}

std::string Sim::memory(int section) const {
    return read_file(memory_path(section));
}

bool Sim::wait_for(const std::string& text, double timeout_s) const {
    double deadline = now_seconds() + timeout_s;
    for (;;) {
        if (transcript().find(text) != std::string::npos) return true;
        if (now_seconds() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Sim::power_cycle() {
    if (pid_ > 0 && status_ < 0) kill(pid_, SIGUSR1);
}

int Sim::wait_end(double timeout_s) {
    if (pid_ <= 0 || status_ >= 0) return status_;
    double deadline = now_seconds() + timeout_s;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) return status_ = decode_status(status);
        if (now_seconds() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

namespace {

// The monotonic seconds of the first "<ms> <event> (monotonic S)" line.
double monotonic_of(const std::string& transcript, const std::string& event) {
    std::string mark = " " + event + " (monotonic ";
    size_t at = transcript.find(mark);
    if (at == std::string::npos) return -1;
    return std::strtod(transcript.c_str() + at + mark.size(), nullptr);
}

} // namespace

double Sim::lost_at() const {
    return monotonic_of(transcript(), "line lost");
}
double Sim::hung_at() const {
    return monotonic_of(transcript(), "hang");
}

int Sim::stop() {
    if (pid_ <= 0 || status_ >= 0) return status_;
    kill(pid_, SIGTERM);
    double deadline = now_seconds() + 5;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) break;
        if (now_seconds() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    status_ = decode_status(status);
    return status_;
}

} // namespace harness
