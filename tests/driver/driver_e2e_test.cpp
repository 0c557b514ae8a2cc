// kelo's start-up, options and link probe, run as a program against the
// simulated instrument.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "expected.h"
#include "harness.h"

namespace {

using namespace harness;

// A key once the final message shows ends the closing pause early.
RunOptions ending_on(const std::string& text, std::vector<std::string> env) {
    RunOptions options;
    options.env = std::move(env);
    options.keys = {harness::when_output(text, "x", 50)};
    options.timeout_s = 30;
    return options;
}

RunResult kelo(std::vector<std::string> args, const RunOptions& options) {
    args.insert(args.begin(), harness::kelo_path());
    return run_program(args, options);
}

TEST(Usage, BannerAndUsageWithoutKeyWait) {
    RunOptions options;
    options.timeout_s = 10;
    RunResult r = kelo({"-96", "-?", "-t"}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find(banner_top), 0u) << r.out;
    ASSERT_GE(r.out.size(), std::strlen(usage_text));
    EXPECT_EQ(r.out.substr(r.out.size() - (std::strlen(usage_text))), usage_text);
    EXPECT_EQ(r.out.find("Establishing"), std::string::npos);
    EXPECT_LT(r.seconds, 1.0) << "no key wait after the usage text";
    // 7 banner lines, an empty line, 10 usage lines; every box line 70 wide.
    EXPECT_EQ(count_of(r.out, "\n"), 18);
    EXPECT_EQ(r.out.find("**\n\n"), 6 * 71 + 68u);
    // The maker's line (the 5th): 70 characters between asterisks.
    EXPECT_EQ(r.out.substr(283, 2), "\n*");
    EXPECT_EQ(r.out.substr(353, 2), "*\n");
}

TEST(Probe, SilentInstrumentWithAndWithoutRateOption) {
    Sim sim("silent 1\n");
    RunResult all = kelo({}, ending_on("No response", {sim.com1_env()}));
    EXPECT_EQ(all.status, 1);
    EXPECT_NE(all.out.find("Establishing communication on COM1...\nNo response detected on "
                           "COM1.\n"),
              std::string::npos)
        << all.out;
    EXPECT_EQ(all.out.find("Done."), std::string::npos);
    EXPECT_EQ(probed_rates(sim), "38400 19200 9600 ");

    RunResult one = kelo({"-19"}, ending_on("No response", {sim.com1_env()}));
    EXPECT_EQ(one.status, 1);
    EXPECT_NE(one.out.find("No response detected on COM1\n"), std::string::npos) << one.out;
    EXPECT_EQ(one.out.find("COM1.\n", one.out.find("No response")), std::string::npos);
}

TEST(Probe, FindsTheRateInOrderAndReportsIt) {
    Sim sim("baud 9600\n");
    RunResult r = kelo({}, ending_on("(E1)\n", {sim.com1_env()}));
    EXPECT_NE(r.out.find("Baud rate set to 9600 (N81)\n"), std::string::npos) << r.out;
    // Without a file name the program's own file is the image: a program
    // file with nothing appended has no first line there.
    EXPECT_TRUE(r.out.ends_with("(N81)\nInvalid download file format (E1)\n")) << r.out;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(probed_rates(sim), "38400 19200 9600 ");
    // Every query is CR LF ? CR LF CR.
    EXPECT_EQ(sim.rx(), std::string("\r\n?\r\n\r").append("\r\n?\r\n\r").append("\r\n?\r\n\r"));
}

TEST(Probe, GarbageAtEveryRateIsAnInvalidResponse) {
    Sim sim("baud 57600\n");
    RunResult r = kelo({}, ending_on("Invalid", {sim.com1_env()}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Invalid responses detected on COM1.\n"), std::string::npos) << r.out;
    RunResult one = kelo({"-38"}, ending_on("Invalid", {sim.com1_env()}));
    EXPECT_NE(one.out.find("Invalid responses detected on COM1.\n"), std::string::npos);
}

TEST(Probe, AnswerWithoutVersionFieldIsAnInvalidDevice) {
    Sim sim("ident K940 no fields\n");
    RunResult r = kelo({"-38"}, ending_on("Invalid", {sim.com1_env()}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Invalid device connected to COM1.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Baud rate"), std::string::npos);

    Sim empty("ident \n");
    r = kelo({}, ending_on("Invalid", {empty.com1_env()}));
    EXPECT_NE(r.out.find("Invalid device connected to COM1.\n"), std::string::npos) << r.out;
    EXPECT_EQ(probed_rates(empty), "38400 ") << "an answer ends the probing";
}

TEST(Probe, ChosenRateAndPort) {
    Sim sim("baud 19200\n");
    RunResult r = kelo({"-3", "-19"}, ending_on("(E1)\n", {"KELO_COM3=" + sim.link()}));
    EXPECT_NE(r.out.find("Establishing communication on COM3...\n"), std::string::npos);
    EXPECT_NE(r.out.find("Baud rate set to 19200 (N81)\n"), std::string::npos) << r.out;
    EXPECT_EQ(probed_rates(sim).find("9600"), std::string::npos);
    EXPECT_EQ(sim.rx(), "\r\n?\r\n\r") << "one probe, at the chosen rate";
}

TEST(Probe, OptionsAfterTheFileNameAreNotRead) {
    Sim sim("baud 19200\n");
    RunResult r = kelo({"-2", "-19", "missing.s19", "-3", "-38"},
                       ending_on("download file", {"KELO_COM2=" + sim.link()}));
    EXPECT_NE(r.out.find("Establishing communication on COM2...\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Baud rate set to 19200 (N81)\n"), std::string::npos);
    EXPECT_EQ(r.status, 1);
}

TEST(Probe, StaleInputIsDiscarded) {
    Sim sim("stale ,20991231,1,2\\r\\n\n");
    RunResult r = kelo({"-38", "-s"}, ending_on("(E1)\n", {sim.com1_env()}));
    EXPECT_NE(r.out.find("Baud rate set to 38400 (N81)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("20991231"), std::string::npos);
}

// The first answer byte may come up to 336 ms after the query, each later
// byte up to 112 ms after the one before (the simulator's delays are
// measured from the query's arrival, so leave room for scheduling).
TEST(Probe, TimeLimitsOfTheAnswer) {
    struct Case {
        const char* scenario;
        const char* outcome;
    };
    const Case cases[] = {
        {"answer_delay_ms 270\n", "Baud rate set to 38400 (N81)\n"},
        {"answer_delay_ms 400\n", "No response detected on COM1\n"},
        {"char_gap_ms 80\n", "Baud rate set to 38400 (N81)\n"},
        {"char_gap_ms 145\n", "Invalid responses detected on COM1.\n"},
        {"ident_end \\r\n", "Invalid responses detected on COM1.\n"},
    };
    for (const Case& c : cases) {
        Sim sim(c.scenario);
        bool answers = std::string(c.outcome).starts_with("Baud");
        RunResult r = kelo({"-38"}, ending_on(answers ? "(E1)\n" : c.outcome, {sim.com1_env()}));
        EXPECT_NE(r.out.find(c.outcome), std::string::npos) << c.scenario << r.out;
    }
}

TEST(Probe, SilentProbeTakesAThirdOfASecondPerRate) {
    Sim sim("silent 1\n");
    RunOptions options;
    options.env = {sim.com1_env()};
    options.keys = {harness::when_output("Establishing", ""),
                    harness::when_output("No response", "x", 30)};
    RunResult r = kelo({}, options);
    // Three probes of 336 ms, plus start-up and the key that ends the pause.
    EXPECT_GT(r.seconds, 3 * 0.336);
    EXPECT_LT(r.seconds, 3 * 0.336 + 0.9) << r.out;
}

TEST(Port, MissingDevice) {
    RunResult r = kelo({"-2"}, ending_on("Cannot", {"KELO_COM2=/nonexistent/tty"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Establishing communication on COM2...\nCannot open COM2.\n"),
              std::string::npos)
        << r.out;
    RunResult t = kelo({"-4", "-t"}, ending_on("Cannot", {"KELO_COM4=/nonexistent/tty"}));
    EXPECT_EQ(t.status, 1);
    EXPECT_NE(t.out.find("Cannot open COM4.\n"), std::string::npos) << t.out;
}

TEST(Port, BusyPortFailsLikeABusyComPort) {
    Sim sim;
    // Another program holds the port, as a second kelo would.
    int holder = ::open(sim.link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    RunResult r = kelo({"-38"}, ending_on("Cannot", {sim.com1_env()}));
    EXPECT_NE(r.out.find("Cannot open COM1.\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 1);
    ::close(holder);
    r = kelo({"-38"}, ending_on("(E1)\n", {sim.com1_env()}));
    EXPECT_NE(r.out.find("Baud rate set to 38400"), std::string::npos) << r.out;
}

TEST(Port, SecondKeloOnTheSamePortCannotOpenIt) {
    Sim sim;
    RunResult first;
    std::thread terminal([&] {
        RunOptions options;
        options.env = {sim.com1_env()};
        options.keys = {harness::after_ms(1500, "\x1b")};
        options.timeout_s = 20;
        first = kelo({"-t"}, options);
    });
    usleep(500 * 1000);
    RunResult second = kelo({"-38"}, ending_on("Cannot", {sim.com1_env()}));
    terminal.join();
    EXPECT_NE(second.out.find("Cannot open COM1.\n"), std::string::npos) << second.out;
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(first.status, 0) << first.out;
}

// kelo puts a terminal on standard input into non-canonical, no-echo mode
// for the run and gives it back on every way out, signals included.
class ConsoleModes : public ::testing::TestWithParam<int> {};

TEST_P(ConsoleModes, TerminalIsRestoredAfterTheSignal) {
    Sim sim;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("KELO_COM1", sim.link().c_str(), 1);
        execl(harness::kelo_path().c_str(), "kelo", "-t", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    char buffer[256];
    for (double until = harness::now_seconds() + 5;
         seen.find("TERMINAL MODE") == std::string::npos && harness::now_seconds() < until;) {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) seen.append(buffer, static_cast<size_t>(n));
    }
    ASSERT_NE(seen.find("TERMINAL MODE"), std::string::npos) << seen;
    termios during{};
    ASSERT_EQ(tcgetattr(master, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);

    kill(pid, GetParam());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
    close(master);
    // The port was given back too: another run can open it at once.
    RunResult r = kelo({"-38"}, ending_on("(E1)\n", {sim.com1_env()}));
    EXPECT_NE(r.out.find("Baud rate set to 38400"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleModes, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

} // namespace
