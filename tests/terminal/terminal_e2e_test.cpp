// Terminal mode end to end: keys go in through a pipe (each byte a key
// code) or through a real terminal (tmux), and what kelo shows and what the
// simulated instrument receives are compared with what they must be.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "expected.h"
#include "harness.h"

namespace {

using harness::KeyStep;
using harness::RunOptions;
using harness::RunResult;
using harness::Sim;

const std::string mode_banner = "<< TERMINAL MODE >>\n\n";

RunResult run_terminal(Sim& sim, std::vector<KeyStep> keys, std::vector<std::string> options = {}) {
    RunOptions run;
    run.env = {sim.com1_env()};
    run.keys = std::move(keys);
    run.timeout_s = 30;
    std::vector<std::string> argv = {harness::kelo_path()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("-t");
    RunResult result = harness::run_program(argv, run);
    sim.stop();
    return result;
}

// What kelo showed after the mode's banner line.
std::string shown(const RunResult& result) {
    size_t at = result.out.find(mode_banner);
    if (at == std::string::npos) return "(no terminal mode banner) " + result.out;
    return result.out.substr(at + mode_banner.size());
}

TEST(TerminalE2E, EchoesAndSendsEveryKey) {
    Sim sim("script_reply");
    // Enter, a printable, Tab, control-A, Backspace, control-Z, DEL, 28, 31,
    // 128, 255; then 0 b (an extended key: b), 224 H (the prefix is a byte
    // of its own, H follows as a key), and 0 esc (an extended esc).
    std::string keys = std::string("a\r\t\x01\x08\x1a\x7f\x1c\x1f\x80\xff", 11) +
                       std::string("\0b", 2) + "\xe0H~ " + std::string("\0\x1b", 2);
    RunResult result = run_terminal(sim, {KeyStep{0, mode_banner, keys}});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(shown(result), "a\n<I><A>\b \b<Z>bH~ \n") << "a line end closes the text";
    EXPECT_EQ(sim.rx(), std::string("a\r\t\x01\x08\x1a\x7f\x1c\x1f\x80\xff", 11) + "b\xe0H~ ");
}

TEST(TerminalE2E, ControlRFollowsEnterWithOption) {
    Sim sim("script_reply");
    RunResult result = run_terminal(sim, {KeyStep{0, mode_banner, "x\ry\x1b"}}, {"-r"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(shown(result), "x\ny\n");
    EXPECT_EQ(sim.rx(), "x\r\x12y");
}

TEST(TerminalE2E, EndedInputEndsTheModeOnceTheLineIsQuiet) {
    Sim sim;
    RunOptions run;
    run.env = {sim.com1_env()};
    run.keys = {KeyStep{0, mode_banner, "ab\r"}};
    run.close_stdin_after_keys = true;
    run.timeout_s = 20;
    RunResult result = harness::run_program({harness::kelo_path(), "-t"}, run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(sim.rx(), "ab\r");
    // The instrument's answer to the line still shows before the end.
    std::string answer = shown(result).substr(3);
    EXPECT_FALSE(answer.empty()) << result.out;
    EXPECT_LT(result.seconds, 5);
}

TEST(TerminalE2E, ShowsReceivedBytesUntranslated) {
    std::string all;
    std::string escaped;
    for (int byte = 0; byte < 256; ++byte) {
        all.push_back(static_cast<char>(byte));
        char text[8];
        std::snprintf(text, sizeof text, "\\x%02X", byte);
        escaped += text;
    }
    Sim sim("script_reply\nreply_delay_ms 300\nreply_to ALL " + escaped +
            "\nreply_to LATE LATE\\r\\n\n");
    // After esc, what the instrument still sends is not shown.
    RunResult result =
        run_terminal(sim, {KeyStep{0, mode_banner, "ALL\r"}, KeyStep{0, "\xfe\xff", "LATE\r\x1b"}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(shown(result), "ALL\n" + all + "LATE\n");
    EXPECT_TRUE(sim.wait_for("line LATE", 5));
}

// A tmux server of its own, removed at the end.
class Tmux {
  public:
    Tmux() : socket_("kelo-terminal-test-" + std::to_string(getpid())) {}
    ~Tmux() { run("kill-server"); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // Runs a tmux command; its standard output.
    std::string run(const std::string& args) const {
        std::string command = "tmux -L " + socket_ + " -f /dev/null " + args + " 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) throw std::runtime_error("popen failed");
        std::string out;
        std::array<char, 4096> buffer;
        size_t n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
            out.append(buffer.data(), n);
        pclose(pipe);
        return out;
    }
    std::string screen() const { return run("capture-pane -p -t t"); }
    // Waits until the pane shows text (the times-th time); false after
    // timeout_s.
    bool wait_screen(const std::string& text, double timeout_s = 5, int times = 1) const {
        double end = harness::now_seconds() + timeout_s;
        while (harness::now_seconds() < end) {
            std::string shown = screen();
            size_t at = std::string::npos;
            for (int i = 0; i < times; ++i) {
                at = shown.find(text, at + 1);
                if (at == std::string::npos) break;
            }
            if (at != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

  private:
    std::string socket_;
};

TEST(TerminalE2E, RealTerminalKeys) {
    if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    Sim sim;
    Tmux tmux;
    // The shell runs kelo twice and reports each exit status on the screen,
    // and at the end whether the terminal's settings are what they were.
    // Its own Ctrl-C handler leaves Ctrl-C's default to kelo.
    std::string kelo = "env KELO_COM1=" + sim.link() + " " + harness::kelo_path() + " -t";
    std::string settings = sim.dir() + "/stty-before";
    tmux.run("new-session -d -s t -x 100 -y 50 'trap : INT; stty -g >" + settings + "; " + kelo +
             "; echo kelo-exit=$?; " + kelo + "; echo kelo-exit=$?; stty -g | cmp -s - " +
             settings + " && echo terminal-as-before'");
    tmux.run("set-option -w -t t remain-on-exit on");
    ASSERT_TRUE(tmux.wait_screen("<< TERMINAL MODE >>")) << tmux.screen();

    // Enter draws the instrument's READY on the next line.
    tmux.run("send-keys -t t a Enter");
    ASSERT_TRUE(tmux.wait_screen("a\nREADY\n")) << tmux.screen();
    // Backspace erases the x; Up is 224 72 (sent, then H as a key), F1 is
    // 0 59 (the ; key).
    tmux.run("send-keys -t t Tab C-a x BSpace Up F1");
    ASSERT_TRUE(tmux.wait_screen("READY\n<I><A>H;\n")) << tmux.screen();
    tmux.run("send-keys -t t Escape");
    EXPECT_TRUE(tmux.wait_screen("kelo-exit=0")) << tmux.screen();

    std::string screen = tmux.screen();
    EXPECT_NE(screen.find("<< TERMINAL MODE >>\n\na\nREADY\n<I><A>H;\nkelo-exit=0\n"),
              std::string::npos)
        << screen;

    // Ctrl-Z and Ctrl-\ are keys here (26 and 28), as on a Windows console;
    // Alt+x is 0 45 (the - key), Ctrl-Space 0 3 (a console's Ctrl-@).
    ASSERT_TRUE(tmux.wait_screen("<< TERMINAL MODE >>\n\n", 5, 2)) << tmux.screen();
    tmux.run("send-keys -t t C-z 'C-\\' M-x C-Space b");
    EXPECT_TRUE(tmux.wait_screen("<< TERMINAL MODE >>\n\n<Z>-<C>b\n")) << tmux.screen();
    // Ctrl-C itself ends kelo, which leaves the terminal as it found it.
    tmux.run("send-keys -t t C-c");
    EXPECT_TRUE(tmux.wait_screen("<Z>-<C>bkelo-exit=130\nterminal-as-before\n")) << tmux.screen();
    sim.stop();
    EXPECT_EQ(sim.rx(), std::string("a\r\t\x01x\x08\xe0H;\x1a\x1c-\x03") + "b");
}

// Runs in the background of an interactive shell end there and give the
// port back: one started with &, one stopped with Ctrl-Z and sent on with
// bg, one ended there by SIGTERM; the shell's terminal stays as it was.
TEST(TerminalE2E, BackgroundRunsEndAndGiveThePortBack) {
    if (std::system("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
    Sim sim("reply_delay_ms 300\n");
    std::string run = harness::kelo_path() + " " +
                      harness::make_image(sim.dir(), "a.s19", "--section app,records=6");
    Tmux tmux;
    tmux.run("new-session -d -s t -x 150 -y 200 'bash --norc --noprofile -i'");
    auto type = [&](const std::string& line) {
        tmux.run("send-keys -t t -l '" + line + "' \\; send-keys -t t Enter");
    };
    type("export KELO_COM1=" + sim.link() + "; stty -g >" + sim.dir() + "/tty; " + run +
         " & wait $!; a=$?; " + run);
    ASSERT_TRUE(sim.wait_for(" record 11 ", 20)) << tmux.screen(); // the second run's 3rd
    tmux.run("send-keys -t t C-z");
    type("bg; wait; b=$?; " + harness::kelo_path() + " -t & sleep 1; kill %1; wait %1; c=$?; " +
         "flock -n $KELO_COM1 true; d=$?; stty -g | cmp - " + sim.dir() +
         "/tty; echo ends=$a,$b,$c,$d,$?");
    EXPECT_TRUE(tmux.wait_screen("ends=0,0,143,0,0", 20)) << tmux.screen();
}

} // namespace
