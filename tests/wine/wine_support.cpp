// The Wine side of the Windows end-to-end tests: the prefix and its ports,
// and the two ways of running a program.
#include "wine_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace wine {

namespace fs = std::filesystem;

namespace {

std::string work_dir;     // prefix and port links
bool remove_work = false; // the folder is ours: removed at the end
std::string wine_path;
std::string wineserver_path;
bool session_ready = false;

std::string port_link(int n) {
    return work_dir + "/com" + std::to_string(n);
}

std::string prefix() {
    return work_dir + "/prefix";
}

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kelo-wine-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    return name.data();
}

// Quiet, headless and 64-bit; no Mono or Gecko installers asked for. Set in
// this process, so that every run inherits it.
void set_wine_environment() {
    setenv("WINEPREFIX", prefix().c_str(), 1);
    setenv("WINEARCH", "win64", 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    setenv("DISPLAY", "", 1);
    unsetenv("WAYLAND_DISPLAY");
    // Wine wants a home; a bare CI job may have none.
    if (std::getenv("HOME") == nullptr) setenv("HOME", work_dir.c_str(), 1);
}

// Runs a Wine tool to its end; throws when it fails.
void run_tool(const std::vector<std::string>& argv, double timeout_s) {
    harness::RunOptions options;
    options.timeout_s = timeout_s;
    harness::RunResult r = harness::run_program(argv, options);
    if (r.status != 0 || r.timed_out) {
        std::string command;
        for (const std::string& arg : argv) command += arg + " ";
        throw std::runtime_error(command + "failed (status " + std::to_string(r.status) +
                                 (r.timed_out ? ", timed out" : "") + "):\n" + r.out + r.err);
    }
}

void wineserver(const std::string& option) {
    // The persistent server leaves the foreground at once; a shell keeps
    // its output away from any pipe of ours.
    std::string command = "'" + wineserver_path + "' " + option + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 && option != "-k")
        throw std::runtime_error("wineserver " + option + " failed");
}

double seconds_since(double start) {
    return harness::now_seconds() - start;
}

std::string link_target(const std::string& path) {
    std::error_code error;
    fs::path target = fs::read_symlink(path, error);
    return error ? std::string() : target.string();
}

// The ports lead to the port links once Wine's mount manager has read the
// registry (it does when the first program starts after a server start).
bool ports_mapped() {
    for (int n : mapped_ports)
        if (link_target(prefix() + "/dosdevices/com" + std::to_string(n)) != port_link(n))
            return false;
    return true;
}

void map_ports() {
    double start = harness::now_seconds();
    for (int n : mapped_ports)
        run_tool({wine_path, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v",
                  "COM" + std::to_string(n), "/d", port_link(n), "/f"},
                 60);
    wineserver("-k");
    wineserver("-w");
    std::printf("[wine] COM1..COM4, COM12 mapped to %s/com<n> in %.1f s\n", work_dir.c_str(),
                seconds_since(start));
}

} // namespace

std::string text_mode_undone(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text.push_back(bytes[i]);
    return text;
}

void Session::SetUp() {
    try {
        wine_path = find_program("wine");
        wineserver_path = find_program("wineserver");
        ASSERT_FALSE(wine_path.empty()) << "wine is not installed";
        ASSERT_FALSE(wineserver_path.empty()) << "wineserver is not installed";
        const char* work = std::getenv("KELO_WINE_WORK");
        if (work != nullptr && *work != '\0') {
            fs::create_directories(work);
            work_dir = fs::absolute(work).lexically_normal().string();
        } else {
            work_dir = make_temp_dir();
            remove_work = true;
        }
        set_wine_environment();
        for (int n : mapped_ports) point_port(n, work_dir + "/absent");

        double start = harness::now_seconds();
        if (!fs::exists(prefix() + "/system.reg")) {
            run_tool({wine_path, "wineboot", "-i"}, 180);
            wineserver("-w");
            std::printf("[wine] prefix created in %.1f s\n", seconds_since(start));
        }
        if (!ports_mapped()) map_ports();
        start = harness::now_seconds();
        // A server left running for the prefix (an earlier run that was
        // killed) would refuse a persistent one.
        wineserver("-k");
        wineserver("-w");
        wineserver("-p");
        run_tool({wine_path, "reg", "query", "HKLM\\Software\\Wine\\Ports"}, 60);
        for (int i = 0; i < 100 && !ports_mapped(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(ports_mapped()) << "Wine did not map COM1..COM4, COM12 to " << work_dir;
        std::printf("[wine] wineserver up, first program ran in %.1f s\n", seconds_since(start));
        session_ready = true;
    } catch (const std::exception& e) {
        FAIL() << e.what();
    }
}

bool Session::ready() {
    return session_ready;
}

void Session::TearDown() {
    if (!wineserver_path.empty()) {
        wineserver("-k");
        wineserver("-w");
    }
    if (remove_work && !work_dir.empty()) {
        std::error_code ignored;
        fs::remove_all(work_dir, ignored);
    }
}

std::string windows_build() {
    const char* dir = std::getenv("KELO_WINDOWS_BUILD");
    if (dir != nullptr && *dir != '\0') return fs::absolute(dir).lexically_normal().string();
    return fs::absolute(harness::build_path("../windows")).lexically_normal().string();
}

std::string kelo_exe() {
    return windows_build() + "/kelo.exe";
}

std::string demo_exe() {
    return windows_build() + "/kelo-demo.exe";
}

void point_port(int n, const std::string& device) {
    // A new link renamed over the old one: the port never goes missing.
    std::string link = port_link(n);
    std::string fresh = link + ".new";
    unlink(fresh.c_str());
    if (symlink(device.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot point " + link + " at " + device + ": " +
                                 std::strerror(errno));
}

harness::RunResult run(const std::string& exe, const std::vector<std::string>& args,
                       const std::string& cwd, double timeout_s,
                       const std::vector<std::string>& env) {
    std::vector<std::string> argv = {wine_path, exe};
    argv.insert(argv.end(), args.begin(), args.end());
    harness::RunOptions options;
    options.cwd = cwd;
    options.env = env;
    options.timeout_s = timeout_s;
    harness::RunResult result = harness::run_program(argv, options);
    result.out = text_mode_undone(result.out);
    result.err = text_mode_undone(result.err);
    return result;
}

ConsoleStep when_shown(const std::string& text, const std::string& bytes, int delay_ms) {
    return ConsoleStep{
        [text](const std::string& shown) { return shown.find(text) != std::string::npos; }, bytes,
        delay_ms};
}

namespace {

[[noreturn]] void exec_on_terminal(const std::vector<std::string>& argv, const std::string& cwd) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    // Wine's console speaks to the terminal by TERM; a CI job may set none.
    setenv("TERM", "xterm", 1);
    std::vector<char*> pointers;
    for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
    pointers.push_back(nullptr);
    signal(SIGPIPE, SIG_DFL);
    execv(pointers[0], pointers.data());
    _exit(127);
}

int decode_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void type_bytes(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace

ConsoleRun run_on_console(const std::string& exe, const std::vector<std::string>& args,
                          const std::string& cwd, const std::vector<ConsoleStep>& steps,
                          double timeout_s) {
    std::vector<std::string> argv = {wine_path, exe};
    argv.insert(argv.end(), args.begin(), args.end());
    // Room enough that nothing scrolls: the console then writes each line once.
    winsize size{60, 160, 0, 0};
    int master = -1;
    double start = harness::now_seconds();
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error(std::string("forkpty: ") + std::strerror(errno));
    if (pid == 0) exec_on_terminal(argv, cwd);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);

    ConsoleRun result;
    size_t next = 0;
    double due = -1; // when the next step's keys go, once it is ready
    int status = 0;
    bool open = true;
    for (;;) {
        pollfd fd{master, POLLIN, 0};
        if (open) poll(&fd, 1, 10);
        if (open && fd.revents != 0) open = harness::drain(master, result.raw);
        if (!open) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        double now = harness::now_seconds();
        if (next < steps.size()) {
            if (due < 0 && steps[next].ready(shown_text(result.raw)))
                due = now + steps[next].delay_ms / 1000.0;
            if (due >= 0 && now >= due) {
                type_bytes(master, steps[next].bytes);
                result.typed_at.push_back(now - start);
                ++next;
                due = -1;
            }
        }
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (now - start > timeout_s) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timed_out = true;
            break;
        }
    }
    result.seconds = harness::now_seconds() - start;
    // What the console wrote just before the program ended.
    for (int i = 0; i < 20 && open; ++i) {
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 10) <= 0) break;
        open = harness::drain(master, result.raw);
    }
    close(master);
    result.status = decode_status(status);
    result.shown = shown_text(result.raw);
    return result;
}

std::string shown_text(const std::string& raw) {
    std::string text;
    size_t i = 0;
    while (i < raw.size()) {
        char c = raw[i];
        if (c == '\r') {
            ++i;
            continue;
        }
        if (c != '\x1b') {
            text.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 < raw.size() && raw[i + 1] == '[') {
            // CSI: parameters, intermediates, one final byte.
            size_t end = i + 2;
            while (end < raw.size() && (raw[end] < 0x40 || raw[end] > 0x7E)) ++end;
            if (end < raw.size() && raw[end] == 'C') {
                std::string count = raw.substr(i + 2, end - i - 2);
                text.append(count.empty() ? 1 : std::stoul(count), ' ');
            }
            i = end + 1;
        } else if (i + 1 < raw.size() && raw[i + 1] == ']') {
            // OSC (a window title): up to BEL or ESC backslash.
            size_t end = raw.find_first_of("\a\x1b", i + 2);
            i = end == std::string::npos ? raw.size() : end + (raw[end] == '\a' ? 1 : 2);
        } else {
            i += 2;
        }
    }
    return text;
}

std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t from = 0;
    while (from <= dirs.size()) {
        size_t end = dirs.find(':', from);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(from, end - from) + "/" + name;
        if (end > from && access(candidate.c_str(), X_OK) == 0) return candidate;
        from = end + 1;
    }
    return "";
}

} // namespace wine
