// The script player end to end: kelo runs a script against the simulated
// instrument; the bytes on the wire come from the simulator's receive log
// and the pacing from the millisecond timestamps of its transcript.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

using harness::KeyStep;
using harness::RunOptions;
using harness::RunResult;
using harness::Sim;

// What the probe sends before the script starts: its query and the CR that
// every sent line gets.
const std::string probe_bytes = "\r\n?\r\n\r";
// The script's own first line: the initial query.
const std::string query_bytes = "?\r\n\r";

// Scheduling slack on a shared machine, on top of the interval itself.
constexpr long slack_ms = 80;
// How much shorter than it is an interval of the transcript can read: its
// stamps are whole milliseconds (one stamp), and the simulator stamps a byte
// kelo sent when it has read it, which can be a millisecond after kelo took
// the time it paces from.
constexpr long early_ms = 2;

// Where every byte of the two directions went and when (ms of the
// simulator's clock), rebuilt from the transcript's "rx" and "tx" lines.
class Timeline {
  public:
    explicit Timeline(const std::string& transcript) {
        std::istringstream lines(transcript);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            long ms = 0;
            std::string kind;
            words >> ms >> kind;
            if (kind != "rx" && kind != "tx") continue;
            std::string hex;
            while (words >> hex) {
                auto& bytes = kind == "rx" ? rx_ : tx_;
                auto& times = kind == "rx" ? rx_ms_ : tx_ms_;
                bytes.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
                times.push_back(ms);
            }
        }
    }
    const std::string& rx() const { return rx_; }
    const std::string& tx() const { return tx_; }

    // When the first / last byte of the first occurrence of text (at or
    // after from) was received by the instrument.
    long rx_first(const std::string& text, size_t from = 0) const {
        return rx_ms_.at(find(rx_, text, from));
    }
    long rx_last(const std::string& text, size_t from = 0) const {
        return rx_ms_.at(find(rx_, text, from) + text.size() - 1);
    }
    // When the instrument last sent byte at or before ms.
    long tx_last_before(char byte, long ms) const {
        long found = -1;
        for (size_t i = 0; i < tx_.size() && tx_ms_[i] <= ms; ++i)
            if (tx_[i] == byte) found = tx_ms_[i];
        if (found < 0) throw std::runtime_error("byte not sent");
        return found;
    }
    // When the instrument sent the last byte of text.
    long tx_last(const std::string& text, size_t from = 0) const {
        return tx_ms_.at(find(tx_, text, from) + text.size() - 1);
    }

  private:
    static size_t find(const std::string& in, const std::string& text, size_t from) {
        size_t at = in.find(text, from);
        if (at == std::string::npos) throw std::runtime_error("not in the transcript: " + text);
        return at;
    }
    std::string rx_, tx_;
    std::vector<long> rx_ms_, tx_ms_;
};

// Bytes as C escapes, for failure messages.
std::string printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        char escape[8];
        if (c >= 32 && c < 127 && c != '\\')
            text.push_back(static_cast<char>(c));
        else {
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        }
    }
    return text;
}

struct ScriptRun {
    RunResult result;
    std::string sent; // what kelo sent after the probe
    Timeline timeline;
};

std::string write_file(const Sim& sim, const std::string& name, const std::string& bytes) {
    std::string path = sim.dir() + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot write " + path);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
}

// Runs kelo with options and then the download argument. A key after
// "\nDone.\n" cuts the final pause short.
ScriptRun run_kelo(Sim& sim, std::vector<std::string> args, std::vector<KeyStep> keys = {},
                   bool end_pause = true) {
    RunOptions options;
    options.env = {sim.com1_env()};
    options.keys = std::move(keys);
    if (end_pause) options.keys.push_back(KeyStep{0, "\nDone.\n", "x"});
    options.timeout_s = 90;
    args.insert(args.begin(), harness::kelo_path());
    RunResult result = harness::run_program(args, options);
    sim.stop();
    std::string rx = sim.rx();
    EXPECT_TRUE(rx.starts_with(probe_bytes)) << printable(rx);
    std::string sent = rx.starts_with(probe_bytes) ? rx.substr(probe_bytes.size()) : rx;
    return ScriptRun{result, sent, Timeline(sim.transcript())};
}

ScriptRun run_script(Sim& sim, const std::string& script, std::vector<std::string> options = {},
                     std::vector<KeyStep> keys = {}) {
    options.push_back("@" + write_file(sim, "script.txt", script));
    return run_kelo(sim, options, std::move(keys));
}

void expect_done(const RunResult& result) {
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(result.out.ends_with("\nDone.\n")) << result.out;
}

// An interval of silence: more than nominal_ms, within the slack.
void expect_interval(const char* what, long measured, long nominal_ms, long slack = slack_ms) {
    std::printf("[ measured ] %s: %ld ms (nominal more than %ld)\n", what, measured, nominal_ms);
    EXPECT_GE(measured, nominal_ms - early_ms) << what;
    EXPECT_LE(measured, nominal_ms + slack) << what;
}

TEST(ScriptE2E, AScriptThatCannotBeReadFailsTheRun) {
    Sim sim;
    // A folder opens like a file on POSIX, and every read of it fails.
    std::string folder = sim.dir() + "/folder.txt";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ScriptRun run = run_kelo(sim, {"@" + folder}, {KeyStep{50, "Cannot read", "x"}}, false);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_NE(run.result.out.find("\nCannot read the script file: " + folder + "\n"),
              std::string::npos)
        << run.result.out;
    EXPECT_EQ(run.result.out.find("Done."), std::string::npos);
}

TEST(ScriptE2E, SendsLinesCommandsAndContinuationsExactly) {
    Sim sim;
    ScriptRun run = run_script(sim, "HELLO\r\n"
                                    "@N\r\n"
                                    "@o this text is ignored\r\n"
                                    "@x\r\n"
                                    "@\r\n"
                                    "\r\n"
                                    "abc\\\r\n"
                                    "def\r\n"
                                    "last\\\r\n");
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "HELLO\r\n\r"
                                      "\x0e\x0f"
                                      "\r\n\r"
                                      "abcdef\r\n\r"
                                      "last\\\r\n\r");
    EXPECT_EQ(run.result.err, ">?\n>HELLO\n>\n>abcdef\n>last\\\n");
    // Replies are shown as they come, CRs dropped: the identification answer
    // to the query and READY to HELLO.
    EXPECT_NE(run.result.out.find("Baud rate set to 38400 (N81)\n"
                                  "K940,SN1234,20000620,20070215,20060504\n"
                                  "READY\n"),
              std::string::npos)
        << run.result.out;
}

TEST(ScriptE2E, ShowsPrintableReplyBytesAndLineEndsOnly) {
    Sim sim("reply_to SHOW a\\x01b\\x7fc\\x80d\\xFFe\\tf\\r\\n");
    ScriptRun run = run_script(sim, "SHOW\r\n");
    expect_done(run.result);
    EXPECT_NE(run.result.out.find("\nabcdef\n"), std::string::npos) << run.result.out;
}

TEST(ScriptE2E, LfOnlyFileEndsAtABareLineFeed) {
    Sim sim;
    ScriptRun run = run_script(sim, "ONE\nTWO\n\nTHREE\n");
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "ONE\n\rTWO\n\r");
    EXPECT_EQ(run.result.err, ">?\n>ONE\n>TWO\n");
}

TEST(ScriptE2E, LongLinesAreSplitAtTheLimit) {
    Sim sim;
    std::string long_line;
    for (int i = 0; i < 1600; ++i) long_line.push_back(static_cast<char>('A' + i % 26));
    // Three continued lines of 600 characters join to more than the limit.
    std::string joined(600, 'x');
    joined += std::string(600, 'y');
    joined += std::string(600, 'z');
    std::string script = long_line + "\r\n" + std::string(600, 'x') + "\\\r\n" +
                         std::string(600, 'y') + "\\\r\n" + std::string(600, 'z') + "\r\n";
    ScriptRun run = run_script(sim, script);
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + long_line.substr(0, 1498) + "\r" + long_line.substr(1498) +
                            "\r\n\r" + joined.substr(0, 1498) + "\r" + joined.substr(1498) +
                            "\r\n\r");
}

TEST(ScriptE2E, ReadCommandsInAnyCaseCloseWithControlR) {
    Sim sim;
    ScriptRun run = run_script(sim, "rd-1\r\n"
                                    "Rd-2\r\n"
                                    "RD 3\r\n"
                                    "RD\r\n"
                                    "RDX\r\n"
                                    "xRD-\r\n"
                                    "RD-\r\n");
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "rd-1\r\n\r\x12"
                                      "Rd-2\r\n\r\x12"
                                      "RD 3\r\n\r"
                                      "RD\r\n\r"
                                      "RDX\r\n\r"
                                      "xRD-\r\n\r"
                                      "RD-\r\n\r\x12");
    // Each read command was acknowledged, and the lines after it followed
    // the acknowledgement, not a silence of 25 s.
    EXPECT_LT(run.result.seconds, 10);
}

TEST(ScriptE2E, PacesByRepliesAndSilence) {
    // The query draws the identification answer, A and C draw nothing, B
    // draws READY; -r: control-R after each line until @S clears it.
    Sim sim("script_reply\nreply_to B READY\\r\\n");
    ScriptRun run = run_script(sim, "A\r\n@S\r\nB\r\nC\r\nD\r\n", {"-r"});
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "\x12"
                                      "A\r\n\r\x12"
                                      "B\r\n\r"
                                      "C\r\n\r"
                                      "D\r\n\r");
    const Timeline& t = run.timeline;
    size_t script_start = probe_bytes.size();
    long answer_end = t.tx_last("20060504\r\n", t.tx().find("20060504\r\n") + 1);
    expect_interval("reply complete -> next line", t.rx_first("A\r\n", script_start) - answer_end,
                    224);
    expect_interval("no reply, control-R on -> next line",
                    t.rx_first("B\r\n") - t.rx_last("A\r\n\r"), 3024, slack_ms + 40);
    expect_interval("reply complete -> next line", t.rx_first("C\r\n") - t.tx_last("READY\r\n"),
                    224);
    expect_interval("no reply -> next line", t.rx_first("D\r\n") - t.rx_last("C\r\n\r"), 504);
}

TEST(ScriptE2E, CommandsCostNoWaiting) {
    Sim sim("script_reply");
    ScriptRun run = run_script(sim, "A\r\n@R\r\n@S\r\n@N\r\n@O\r\nB\r\n");
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "A\r\n\r\x0e\x0f"
                                      "B\r\n\r");
    const Timeline& t = run.timeline;
    // After A's 504 ms of silence the four commands and B follow at once.
    expect_interval("no reply, four commands -> next line",
                    t.rx_first("B\r\n") - t.rx_last("A\r\n\r"), 504);
}

TEST(ScriptE2E, BytesKeepHoldingTheIntervalsOff) {
    // After A the instrument sends a DC1 every 100 ms for 1500 ms: the next
    // line follows 504 ms after the last of them, and DC1 is not shown.
    Sim sim("script_reply\ntrickle_ms 100\ntrickle_for_ms 1500");
    ScriptRun run = run_script(sim, "A\r\nB\r\n");
    expect_done(run.result);
    const Timeline& t = run.timeline;
    long a_sent = t.rx_last("A\r\n\r");
    long b_sent = t.rx_first("B\r\n");
    EXPECT_GE(b_sent - a_sent, 1000 + 504 - early_ms);
    expect_interval("last trickle byte -> next line", b_sent - t.tx_last_before('\x11', b_sent),
                    504);
    EXPECT_EQ(run.result.out.find('\x11'), std::string::npos);
}

TEST(ScriptE2E, AcknowledgementNeedsOThenKThenLineEnd) {
    // RD-1 draws a reply line at once and the acknowledgement 800 ms later:
    // the first line end does not end the wait, the acknowledgement's does.
    Sim sim("reply_to RD-1 BUSY\\r\\n\nack_delay_ms 800");
    ScriptRun run = run_script(sim, "RD-1\r\nNEXT\r\n");
    expect_done(run.result);
    const Timeline& t = run.timeline;
    long line_sent = t.rx_last("RD-1\r\n\r\x12");
    long next = t.rx_first("NEXT\r\n");
    EXPECT_GE(next - line_sent, 800 + 224 - early_ms);
    expect_interval("acknowledgement -> next line", next - t.tx_last("Ok\r\n"), 224);
    EXPECT_NE(run.result.out.find("BUSY\nOk\nREADY\n"), std::string::npos) << run.result.out;
}

TEST(ScriptE2E, CapitalKIsNoAcknowledgement) {
    // The one test that waits the full acknowledgement time.
    Sim sim("ack OK\\r\\n");
    ScriptRun run = run_script(sim, "RD-1\r\nNEXT\r\n");
    expect_done(run.result);
    const Timeline& t = run.timeline;
    expect_interval("missing acknowledgement -> next line",
                    t.rx_first("NEXT\r\n") - t.tx_last("OK\r\n"), 25200, 150);
    EXPECT_EQ(run.sent, query_bytes + "RD-1\r\n\r\x12NEXT\r\n\r");
}

TEST(ScriptE2E, EscEndsTheScriptAndExtendedKeysDoNot) {
    // The instrument acknowledges after 1.5 s. A 0-prefixed key whose second
    // code is 27 arrives during the first wait and must not end the script;
    // esc during the second wait does.
    Sim sim("ack_delay_ms 1500\nreply_to RD- WAIT\\r\\n");
    ScriptRun run =
        run_script(sim, "RD-1\r\nSECOND\r\nRD-3\r\nTHIRD\r\n", {},
                   {KeyStep{200, "WAIT", std::string("\0\x1b", 2)}, KeyStep{0, "WAIT\n", "\x1b"}});
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "RD-1\r\n\r\x12SECOND\r\n\r"
                                      "RD-3\r\n\r\x12");
    EXPECT_NE(run.result.out.find("WAIT\n\nMessages terminated via <esc> key\n\nDone.\n"),
              std::string::npos)
        << run.result.out;
    EXPECT_LT(run.result.seconds, 15);
}

TEST(ScriptE2E, EscDuringTheAcknowledgementWaitEndsAtOnce) {
    Sim sim("ack none\nreply_to RD- WAIT\\r\\n");
    ScriptRun run = run_script(sim, "RD-1\r\nNEXT\r\n", {}, {KeyStep{1000, "WAIT", "\x1b"}});
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "RD-1\r\n\r\x12");
    EXPECT_NE(run.result.out.find("\nMessages terminated via <esc> key\n"), std::string::npos);
    EXPECT_LT(run.result.seconds, 10);
}

TEST(ScriptE2E, UnopenableScriptFailsWithItsName) {
    Sim sim;
    std::string name = sim.dir() + "/no-such-script.txt";
    ScriptRun run = run_kelo(sim, {"@" + name}, {}, false);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_TRUE(run.result.out.ends_with("Baud rate set to 38400 (N81)\n"
                                         "Cannot open the script file: " +
                                         name + "\n"))
        << run.result.out;
    EXPECT_EQ(run.result.err, "kelo: " + name + ": No such file or directory\n");
    EXPECT_EQ(run.sent, "");
}

TEST(ScriptE2E, QueryGoesFirstHoweverLongTheScriptTakesToOpen) {
    // A FIFO opens only when its writer comes, here a second after the probe.
    Sim sim;
    std::string fifo = sim.dir() + "/script.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        if (!sim.wait_for("query 1 answered", 10)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        const char script[] = "FIRST\r\nSECOND\r\n";
        if (write(fd, script, sizeof script - 1) < 0) {}
        close(fd);
    });
    ScriptRun run = run_kelo(sim, {"@" + fifo});
    writer.join();
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "FIRST\r\n\rSECOND\r\n\r");
}

TEST(ScriptE2E, DownloadFileStartingWithAtIsPlayedFromItsSecondLine) {
    Sim sim;
    std::string path = write_file(sim, "image.txt", "@R not carried out\r\nHELLO\r\n");
    ScriptRun run = run_kelo(sim, {path});
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "HELLO\r\n\r");
    EXPECT_EQ(run.result.err, ">?\n>HELLO\n");
}

TEST(ScriptE2E, OverlongFirstLineOfADownloadFileIsNotPlayed) {
    // The image check reads 99 characters of the first line and skips its
    // rest: the player starts with the second line all the same.
    Sim sim;
    std::string first = "@" + std::string(98, 'a') + "REST OF THE FIRST LINE";
    std::string path = write_file(sim, "image.txt", first + "\r\n@N\r\nHELLO\r\n");
    ScriptRun run = run_kelo(sim, {path});
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes + "\x0eHELLO\r\n\r");
}

TEST(ScriptE2E, DownloadFileWithOnlyItsAtLineSendsTheQuery) {
    Sim sim;
    std::string path = write_file(sim, "image.txt", "@ script\r\n");
    ScriptRun run = run_kelo(sim, {path});
    expect_done(run.result);
    EXPECT_EQ(run.sent, query_bytes);
}

} // namespace
