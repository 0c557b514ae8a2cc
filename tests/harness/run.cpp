// run_program: a program under test as a child process, with its output
// captured and its keys fed on a schedule.
#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace harness {

namespace {

// The environment with additions, later ones replacing earlier ones.
std::vector<std::string> environment_with(const std::vector<std::string>& additions) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    for (const std::string& addition : additions) {
        std::string name = addition.substr(0, addition.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
        env.push_back(addition);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

bool drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false; // end of file, or EIO from a pty whose slave is closed
    }
}

namespace {

struct Child {
    pid_t pid = -1;
    int out = -1;   // standard output (the pty master in terminal mode)
    int err = -1;   // standard error
    int input = -1; // where keys go, or -1
};

[[noreturn]] void exec_child(std::vector<char*>& argv, std::vector<char*>& envp,
                             const std::string& cwd) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    signal(SIGPIPE, SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

Child start_child(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> arg_texts = args;
    std::vector<std::string> env_texts = environment_with(options.env);
    std::vector<char*> argv = pointers(arg_texts);
    std::vector<char*> envp = pointers(env_texts);
    int out[2], err[2], in[2] = {-1, -1};
    int master = -1, slave = -1;
    if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (options.terminal) {
        winsize size{24, 80, 0, 0};
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0)
            throw std::runtime_error("openpty failed");
        fcntl(master, F_SETFD, FD_CLOEXEC);
    } else {
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        if (!options.keys.empty() && pipe2(in, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
    }
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        if (options.terminal) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
        } else {
            int null = open("/dev/null", O_RDONLY);
            dup2(in[0] >= 0 ? in[0] : null, 0);
            dup2(out[1], 1);
        }
        dup2(err[1], 2);
        exec_child(argv, envp, options.cwd);
    }
    Child child;
    child.pid = pid;
    close(err[1]);
    child.err = err[0];
    if (options.terminal) {
        close(slave);
        child.out = master;
        child.input = master;
    } else {
        close(out[1]);
        child.out = out[0];
        if (in[0] >= 0) close(in[0]);
        child.input = in[1];
    }
    set_nonblocking(child.out);
    set_nonblocking(child.err);
    if (child.input >= 0) set_nonblocking(child.input);
    return child;
}

// Feeds the key steps as their triggers come true.
class KeyFeeder {
  public:
    KeyFeeder(const std::vector<KeyStep>& steps, double start) : steps(steps), base(start) {}

    // Moves on with what out shows at time now; returns the time of the next
    // step that waits only for the clock (or a large value).
    double advance(const std::string& out, double now) {
        while (next < steps.size()) {
            const KeyStep& step = steps[next];
            if (!step.after_output.empty() && !triggered) {
                size_t at = out.find(step.after_output, search_from);
                if (at == std::string::npos) return 1e300;
                triggered = true;
                search_from = at + step.after_output.size();
                base = now;
            }
            double due = base + step.delay_ms / 1000.0;
            if (now < due) return due;
            pending += step.bytes;
            base = now;
            triggered = false;
            ++next;
        }
        return 1e300;
    }
    bool done() const { return next == steps.size() && pending.empty(); }
    std::string pending;

  private:
    const std::vector<KeyStep>& steps;
    size_t next = 0;
    size_t search_from = 0;
    bool triggered = false;
    double base;
};

// Reaps the child (waiting when block), noting its CPU time and when it was
// seen to end; false while it still runs.
bool reap(pid_t pid, bool block, int& status, RunResult& result) {
    rusage usage{};
    pid_t done;
    do {
        done = wait4(pid, &status, block ? 0 : WNOHANG, &usage);
    } while (done < 0 && errno == EINTR);
    if (done != pid) return false;
    result.ended_at = now_seconds();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    result.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return true;
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    if (argv.empty()) throw std::runtime_error("run_program: no program");
    // A child that ends while keys are still being written must not kill us.
    signal(SIGPIPE, SIG_IGN);
    RunResult result;
    double start = now_seconds();
    Child child = start_child(argv, options);
    // Wakes the loop the moment the child ends; without it the loop polls.
    int exit_fd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
    KeyFeeder keys(options.keys, start);
    double deadline = start + options.timeout_s;
    int status = 0;
    for (;;) {
        double now = now_seconds();
        if (now >= deadline) {
            kill(child.pid, SIGKILL);
            reap(child.pid, true, status, result);
            result.timed_out = true;
            break;
        }
        double next_key = keys.advance(result.out, now);
        if (child.input >= 0 && !keys.pending.empty()) {
            ssize_t n = write(child.input, keys.pending.data(), keys.pending.size());
            if (n > 0) keys.pending.erase(0, static_cast<size_t>(n));
            if (n < 0 && errno != EAGAIN && errno != EINTR) keys.pending.clear();
        }
        if (options.close_stdin_after_keys && !options.terminal && keys.done() &&
            child.input >= 0) {
            close(child.input);
            child.input = -1;
        }
        pollfd fds[4];
        nfds_t count = 0;
        int out_at = -1, err_at = -1;
        if (child.out >= 0) fds[out_at = static_cast<int>(count++)] = {child.out, POLLIN, 0};
        if (child.err >= 0) fds[err_at = static_cast<int>(count++)] = {child.err, POLLIN, 0};
        if (exit_fd >= 0) fds[count++] = {exit_fd, POLLIN, 0};
        if (child.input >= 0 && !keys.pending.empty()) fds[count++] = {child.input, POLLOUT, 0};
        double wake = std::min(deadline, next_key);
        int timeout_ms = static_cast<int>(std::clamp((wake - now) * 1000 + 1, 0.0, 1000.0));
        if (exit_fd < 0) timeout_ms = std::min(timeout_ms, 5);
        poll(fds, count, timeout_ms);
        if (out_at >= 0 && fds[out_at].revents != 0 && !drain(child.out, result.out)) {
            if (child.input == child.out) child.input = -1;
            close(child.out);
            child.out = -1;
        }
        if (err_at >= 0 && fds[err_at].revents != 0 && !drain(child.err, result.err)) {
            close(child.err);
            child.err = -1;
        }
        if (reap(child.pid, false, status, result)) break;
    }
    result.seconds = now_seconds() - start;
    result.status = decode_status(status);
    // What the child wrote just before it ended.
    if (child.out >= 0) drain(child.out, result.out);
    if (child.err >= 0) drain(child.err, result.err);
    for (int fd : {child.out, child.err, exit_fd}) {
        if (fd >= 0) close(fd);
    }
    if (child.input >= 0 && child.input != child.out) close(child.input);
    return result;
}

} // namespace harness
