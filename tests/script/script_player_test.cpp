// The script player's pacing in test time: when each line goes out after
// the instrument's answers or its silence, to the millisecond. The end-to-end
// tests show the same on a real line, but only within the line's jitter.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "fake_line.h"
#include "fake_platform.h"
#include "script/script.h"
#include "shared/shared.h"

namespace {

using fake::line;
using fake::platform;

// The instrument's answer to one transmission (0 is the query "?"): bytes
// that arrive after_ms after it went out.
struct Answer {
    size_t transmission;
    uint32_t after_ms;
    std::string bytes;
};

struct Pacing {
    const char* what;
    std::string script;
    std::vector<Answer> answers;
    // When each transmission went out, the query first: "more than N ms"
    // of silence means the next line leaves N + 1 ms after the last byte.
    std::vector<uint32_t> sent_at_ms;
};

// Plays script against the fake line in test time; the instrument answers
// as answers say, and the keys are typed at their moments. What the player
// showed on standard output.
std::string play(const std::string& script, const std::vector<Answer>& answers,
                 const std::vector<fake::TimedKey>& keys = {}) {
    fake::reset_platform();
    fake::reset_line();
    platform.timed_keys = keys;
    opt_ctrl_r = 0;
    run_outcome = run_ok;
    line.instrument = [&answers](const std::string&) {
        size_t number = line.transmissions.size() - 1;
        for (const Answer& answer : answers)
            if (answer.transmission == number)
                fake::deliver(answer.bytes, line.sent_at_ms.back() + answer.after_ms);
        return std::string();
    };
    // Tests run side by side as processes of their own.
    std::string path = testing::TempDir() + "kelo-player-" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary) << script;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    play_script(path.c_str(), nullptr);
    testing::internal::GetCapturedStderr();
    std::remove(path.c_str());
    return testing::internal::GetCapturedStdout();
}

TEST(ScriptPlayer, PacesEachLineByTheAnswersAndTheSilence) {
    const Pacing cases[] = {
        {"no answer: more than 504 ms", "A\r\nB\r\n", {}, {0, 505, 1010}},
        {"control-R after each line: more than 3024 ms; the R command follows the query "
         "after 505 ms and draws no answer, so A follows a millisecond later",
         "@R\r\nA\r\nB\r\n",
         {},
         {0, 506, 3531}},
        {"a reply line's end, then more than 224 ms",
         "A\r\nB\r\n",
         {{0, 10, "000 OK\r\n"}, {1, 30, "x\r\n"}},
         {0, 235, 490}},
        {"every byte holds the silence off", "A\r\n", {{0, 300, "x"}, {0, 800, "y"}}, {0, 1305}},
        {"RD-: O, k and a line end acknowledge it",
         "RD-1\r\nB\r\n",
         {{0, 5, "\n"}, {1, 100, "Ok\r\n"}},
         {0, 230, 555}},
        {"RD-: a line end before O and k acknowledges nothing",
         "RD-1\r\nB\r\n",
         {{0, 5, "\n"}, {1, 100, "\r\n"}, {1, 1000, "O"}, {1, 2000, "k\r\n"}},
         {0, 230, 2455}},
        {"RD-: a capital K is no acknowledgement: more than 25200 ms, then the next line "
         "awaits its reply as any other",
         "RD-1\r\nB\r\nC\r\n",
         {{0, 5, "\n"}, {1, 100, "OK\r\n"}},
         {0, 230, 25531, 26036}},
    };
    for (const Pacing& c : cases) {
        play(c.script, c.answers);
        EXPECT_EQ(line.sent_at_ms, c.sent_at_ms) << c.what;
        EXPECT_EQ(run_outcome, run_ok) << c.what;
    }
}

// What goes out: the query, each line with the CR behind it, control-R
// after an "RD-" line and after every line once R is given, the bytes of the
// N and O commands alone; commands themselves never.
TEST(ScriptPlayer, SendsLinesWithTheirControlBytes) {
    play("rd-1\r\nA\r\n@N\r\n@R\r\nB\r\n@o\r\n@S\r\nC\r\n", {});
    const std::vector<std::string> expected = {"?\r\n\r",     "rd-1\r\n\r\x12", "A\r\n\r", "\x0e",
                                               "B\r\n\r\x12", "\x0f",           "C\r\n\r"};
    EXPECT_EQ(line.transmissions, expected);
}

// Esc during the long wait for an acknowledgement ends the script at once,
// also right behind a 224, which is a key of its own.
TEST(ScriptPlayer, EscEndsTheWaitForAnAcknowledgementAtOnce) {
    std::string shown = play("RD-1\r\nB\r\n", {}, {{10000, 224}, {10000, 27}});
    EXPECT_EQ(line.transmissions.size(), 2u) << "the query and the RD- line only";
    EXPECT_EQ(platform.now_us / 1000, 10000u);
    EXPECT_NE(shown.find("\nMessages terminated via <esc> key\n"), std::string::npos) << shown;
}

} // namespace
