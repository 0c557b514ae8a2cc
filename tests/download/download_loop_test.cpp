// The download loop and the reboot hand-over against a fake line, keyboard
// and image reader: what goes out, when, and what the console shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <unistd.h>

#include "download/download.h"
#include "fake_world.h"
#include "image/image.h"
#include "shared/shared.h"

namespace {

using fake::line;
using fake::platform;
using fake::world;

std::string s3(uint32_t address) {
    char text[64];
    std::snprintf(text, sizeof text, "S315%08X0102030405060708090A0B0C0D0E0F1011\r\n", address);
    return text;
}

const std::string s0 = "S00600004844521B\r\n";
const std::string s7 = "S70500000000FA\r\n";

// A section: its S0 line (which sets the mode), records, S7.
void add_section(int mode, uint32_t address, int records) {
    world.image.push_back({s0, mode});
    for (int i = 0; i < records; ++i) world.image.push_back({s3(address + 20u * i)});
    world.image.push_back({s7});
}

std::string wire(const std::string& line) {
    std::string text = line.substr(0, line.find_first_of("\r\n"));
    return text + "\r\n\r";
}

std::string accept_all(const std::string&) {
    return "000 OK\r\n";
}

int count_of(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class DownloadLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        line.instrument = accept_all;
        // Tests run side by side as processes of their own.
        path = testing::TempDir() + "download_loop_image_" + std::to_string(::getpid());
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("S0 the fake reader hands out the lines\r\n", file);
        std::fclose(file);
        file = std::fopen(path.c_str(), "rb");
        file_stamp(file, &checked_image); // as check_image accepted it
        std::fclose(file);
    }
    void TearDown() override { std::remove(path.c_str()); }

    std::string run() {
        if (image_length == 0)
            for (const auto& line : world.image)
                image_length += static_cast<int32_t>(line.text.size());
        testing::internal::CaptureStdout();
        run_download(path.c_str());
        return testing::internal::GetCapturedStdout();
    }

    std::vector<std::string> expected_wire(size_t from, size_t to) {
        std::vector<std::string> lines;
        for (size_t i = from; i < to; ++i) lines.push_back(wire(world.image[i].text));
        return lines;
    }

    std::string path;
};

TEST_F(DownloadLoop, SendsEveryRecordAsItsTextCrLfCrOneReplyAtATime) {
    add_section('A', 0x40000, 3);
    std::string out = run();
    EXPECT_EQ(line.transmissions, expected_wire(0, world.image.size()));
    EXPECT_EQ(run_outcome, run_ok);
    EXPECT_STREQ(reply_line, "000 OK");
    EXPECT_NE(out.find("\b\b\b\b100 %\n     Programming.."), std::string::npos) << out;
    EXPECT_EQ(platform.pauses_ms.size(), 0u) << "the image ends right after the S7 reply: no pause";
}

TEST_F(DownloadLoop, NothingLeavesBeforeTheReplyToTheRecordBeforeIt) {
    add_section('A', 0x40000, 2);
    std::vector<size_t> counts;
    line.instrument = [&](const std::string&) {
        counts.push_back(line.transmissions.size());
        return std::string("000\r\n");
    };
    run();
    ASSERT_EQ(counts.size(), 4u);
    for (size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], i + 1);
}

TEST_F(DownloadLoop, ARefusedRecordGoesOutAgainByteForByte) {
    add_section('A', 0x40000, 3);
    int refusals = 0;
    line.instrument = [&](const std::string& sent) -> std::string {
        if (sent.starts_with("S31500040014") && refusals < 4) {
            ++refusals;
            return "E01 CHECKSUM\r\n";
        }
        return "000 OK\r\n";
    };
    std::string out = run();
    ASSERT_EQ(line.transmissions.size(), 5u + 4u);
    for (int i = 2; i <= 6; ++i) EXPECT_EQ(line.transmissions[i], wire(s3(0x40014))) << i;
    EXPECT_EQ(run_outcome, run_ok) << "accepted at the fifth transmission";
    EXPECT_EQ(count_of(out, "\n\r     Downloading (Offset 40014)"), 4) << out;
}

TEST_F(DownloadLoop, TheFifthRefusalEndsTheDownloadWithTheRefusingReply) {
    add_section('A', 0x40000, 3);
    line.instrument = [](const std::string& sent) -> std::string {
        return sent.starts_with("S31500040000") ? "E07 BAD RECORD\r\n" : "000\r\n";
    };
    run();
    EXPECT_EQ(line.transmissions.size(), 1u + 5u);
    EXPECT_EQ(run_outcome, run_refused);
    EXPECT_STREQ(reply_line, "E07 BAD RECORD");
}

TEST_F(DownloadLoop, EscAfterARefusalEndsWithTheRefusalAsErrorCode) {
    add_section('A', 0x40000, 3);
    // The re-sent record draws the start of a line, then nothing.
    line.instrument = [](const std::string& sent) -> std::string {
        static int copies = 0;
        if (!sent.starts_with("S31500040000")) return "000 OK\r\n";
        return ++copies == 1 ? "E01 CHECKSUM\r\n" : "00";
    };
    world.idle_limit = 5;
    std::string out = run();
    EXPECT_TRUE(out.ends_with("\nDownload terminated via <esc> key\n")) << out;
    EXPECT_EQ(run_outcome, run_refused);
    EXPECT_STREQ(reply_line, "E01 CHECKSUM");
}

TEST_F(DownloadLoop, AnImageThatEndsInsideASentSectionFailsTheRun) {
    struct Case {
        int mode;
        int32_t outcome;
    } cases[] = {{'A', run_file_error}, {0, run_ok}};
    for (const Case& c : cases) {
        fake::reset();
        line.instrument = accept_all;
        add_section('D', 0x20000, 1);
        world.image.push_back({s0, c.mode});
        world.image.push_back({s3(0x40000)});
        std::string out = run();
        EXPECT_EQ(run_outcome, c.outcome) << out;
        EXPECT_EQ(out.find("Done"), std::string::npos);
        EXPECT_EQ(out.ends_with("\nunclosed section 2\n"), c.outcome != run_ok) << out;
    }
}

TEST_F(DownloadLoop, RefusalsOfDifferentRecordsDoNotAddUp) {
    add_section('A', 0x40000, 6);
    std::string last;
    int refused_here = 0;
    line.instrument = [&](const std::string& sent) -> std::string {
        if (sent != last) refused_here = 0;
        last = sent;
        return refused_here++ < 3 ? "E01\r\n" : "000\r\n";
    };
    run();
    EXPECT_EQ(run_outcome, run_ok);
    EXPECT_EQ(line.transmissions.size(), 4u * world.image.size());
}

TEST_F(DownloadLoop, AReplyLineThatAnswersNoRecordIsDropped) {
    add_section('A', 0x40000, 2);
    // Waiting before the first record: a complete refusing line.
    fake::deliver("E99\n");
    run();
    EXPECT_EQ(line.transmissions, expected_wire(0, world.image.size()))
        << "nothing but the records goes out";
    EXPECT_EQ(run_outcome, run_ok);
}

TEST_F(DownloadLoop, ReplyLinesWhileASkippedSectionIsReadThroughAreDropped) {
    add_section(0, 0x7FC, 30);
    add_section('A', 0x40000, 1);
    line.instrument = accept_all;
    fake::deliver("E98\nE97\n");
    run();
    EXPECT_EQ(line.transmissions, expected_wire(32, world.image.size()));
    EXPECT_EQ(run_outcome, run_ok);
}

// Once part of a reply is in, the loop sleeps through the time the line needs
// for the rest of a reply as long as the shortest one, but its last byte
// (never past 900 us after the earliest end), instead of waking for every
// byte. The first reply has nothing to go by.
TEST_F(DownloadLoop, SleepsThroughTheRestOfAReplyAsLongAsTheShortestOne) {
    const struct {
        int32_t baud;
        unsigned expected_us;
    } rates[] = {{38400, 1562}, {19200, 1562 + 900}, {9600, 3125 + 900}};
    for (const auto& rate : rates) {
        fake::reset();
        baud_rate = rate.baud;
        add_section('A', 0x40000, 2);
        size_t sent = 0;
        bool split = false;
        line.instrument = [&](const std::string&) -> std::string {
            split = ++sent == 3;
            return split ? "0" : "000 OK\r\n";
        };
        world.on_idle_wait = [&] {
            if (split) line.pending_reply = "00 OK\r\n";
            split = false;
        };
        run();
        EXPECT_EQ(line.transmissions, expected_wire(0, world.image.size())) << rate.baud;
        EXPECT_EQ(platform.pauses_us, std::vector<unsigned>{rate.expected_us}) << rate.baud;
    }
}

TEST_F(DownloadLoop, FailedReadsCountAsNothingWaiting) {
    add_section('A', 0x40000, 2);
    line.instrument = [](const std::string&) -> std::string { return "000 OK\r\n"; };
    fake::deliver_failures(50);
    run();
    EXPECT_EQ(line.transmissions, expected_wire(0, world.image.size()));
    EXPECT_STREQ(reply_line, "000 OK") << "no failure was stored as a character";
}

TEST_F(DownloadLoop, FailedReadsInsideAReplyLeaveItWhole) {
    add_section('A', 0x40000, 1);
    int n = 0;
    line.instrument = [&](const std::string&) -> std::string {
        if (n++ != 1) return "000 OK\r\n";
        fake::deliver("00");
        fake::deliver_failures(3);
        fake::deliver("1 X");
        fake::deliver_failures(3);
        return "\r\n";
    };
    run();
    EXPECT_EQ(line.transmissions.size(), 4u) << "\"001 X\": third character '1' refuses";
    EXPECT_EQ(line.transmissions[1], line.transmissions[2]);
    EXPECT_EQ(run_outcome, run_ok);
}

TEST_F(DownloadLoop, OnlyPrintableCharactersMakeTheReplyLine) {
    add_section('A', 0x40000, 1);
    int n = 0;
    line.instrument = [&](const std::string&) -> std::string {
        ++n;
        if (n == 2)
            return std::string("E\x01\x7f"
                               "0\x80\xff"
                               "0\tOK\r\n",
                               12);
        return "000\r\n";
    };
    run();
    EXPECT_EQ(line.transmissions.size(), 3u);
    EXPECT_EQ(run_outcome, run_ok);
    EXPECT_STREQ(reply_line, "000");
}

TEST_F(DownloadLoop, ShortLinesAreJoinedWithTheNextOne) {
    add_section('A', 0x40000, 1);
    int n = 0;
    line.instrument = [&](const std::string&) -> std::string {
        return ++n == 2 ? "AB\n001\n" : "000\n";
    };
    run();
    EXPECT_EQ(line.transmissions.size(), 3u) << "AB001 is accepted";
    EXPECT_EQ(run_outcome, run_ok);
}

TEST_F(DownloadLoop, ALongReplyIsCutAt748AndJudgedByItsThirdCharacter) {
    add_section('A', 0x40000, 1);
    std::string refusal = "E0X" + std::string(900, 'z');
    line.instrument = [&](const std::string& sent) -> std::string {
        return sent.starts_with("S315") ? refusal + "\r\n" : "000\r\n";
    };
    run();
    EXPECT_EQ(run_outcome, run_refused);
    EXPECT_EQ(std::string(reply_line), refusal.substr(0, 748));
}

TEST_F(DownloadLoop, ProgressLinesOnThe2nd18th34thTransmission) {
    add_section('A', 0x40000, 40);
    image_length = 1000000;
    std::string out = run();
    EXPECT_EQ(count_of(out, "\r     Downloading (Offset "), 3) << out;
    // The 2nd transmission is the first S3 record, the 18th the 17th.
    EXPECT_NE(out.find("\r     Downloading (Offset 40000) 0 %"), std::string::npos);
    EXPECT_NE(out.find("\r     Downloading (Offset 40140) 0 %"), std::string::npos);
    EXPECT_NE(out.find("\r     Downloading (Offset 40280) 0 %"), std::string::npos);
}

TEST_F(DownloadLoop, PercentageCountsTheLinesTakenForSending) {
    add_section('A', 0x40000, 17);
    image_length = 1000;
    // S0 (18 bytes) and 17 records of 48: the 18th transmission has 18 + 17 * 48.
    std::string out = run();
    EXPECT_NE(out.find("(Offset 40140) 83 %"), std::string::npos) << out;
}

TEST_F(DownloadLoop, PercentageNeverShows100) {
    add_section('A', 0x40000, 2);
    image_length = 10; // far less than what is sent
    std::string out = run();
    EXPECT_NE(out.find("(Offset 40000) 99 %"), std::string::npos) << out;
    EXPECT_EQ(out.find(") 100 %"), std::string::npos);
}

TEST_F(DownloadLoop, ARefusedS7ShowsProgrammingAgainWithoutThe100) {
    add_section('A', 0x40000, 1);
    int s7_refusals = 0;
    line.instrument = [&](const std::string& sent) -> std::string {
        if (sent[1] == '7' && s7_refusals++ == 0) return "E02\r\n";
        return "000\r\n";
    };
    std::string out = run();
    EXPECT_EQ(count_of(out, "\n     Programming.."), 2) << out;
    EXPECT_EQ(count_of(out, "\b\b\b\b100 %"), 1) << out;
    EXPECT_EQ(line.transmissions.back(), wire(s7));
}

TEST_F(DownloadLoop, ProgrammingEndsWithALineEndAndAPauseBeforeTheNextSection) {
    add_section('A', 0x40000, 1);
    add_section('D', 0x20000, 1);
    std::string out = run();
    ASSERT_EQ(platform.pauses_ms.size(), 1u);
    EXPECT_EQ(platform.pauses_ms[0], 556u);
    size_t programming = out.find("Programming..");
    ASSERT_NE(programming, std::string::npos);
    size_t end = out.find_first_not_of('.', programming + 13);
    EXPECT_EQ(out.substr(end, 1), "\n") << out;
}

TEST_F(DownloadLoop, SkippedSectionsAreNeitherSentNorCounted) {
    add_section(0, 0x7FC, 3);
    add_section('A', 0x40000, 2);
    image_length = 1000;
    std::string out = run();
    EXPECT_EQ(line.transmissions, expected_wire(5, world.image.size()));
    // The 2nd transmission counts only S0 and one record of the sent section.
    EXPECT_NE(out.find("(Offset 40000) 6 %"), std::string::npos) << out;
}

TEST_F(DownloadLoop, EmptyLinesAreCountedButNotSent) {
    world.image = {{s0, 'A'}, {"\r\n"}, {s3(0x40000)}, {"\n"}, {s7}};
    image_length = 100;
    std::string out = run();
    EXPECT_EQ(line.transmissions,
              (std::vector<std::string>{wire(s0), wire(s3(0x40000)), wire(s7)}));
    // 18 + 2 + 48 bytes taken when the record goes out.
    EXPECT_NE(out.find("(Offset 40000) 68 %"), std::string::npos) << out;
}

TEST_F(DownloadLoop, EscWhileAReplyIsAwaitedEndsTheDownload) {
    add_section('A', 0x40000, 3);
    line.instrument = [](const std::string&) { return std::string(); }; // silent
    world.idle_limit = 5;
    std::string out = run();
    EXPECT_EQ(line.transmissions.size(), 1u);
    EXPECT_NE(out.find("\nDownload terminated via <esc> key\n"), std::string::npos);
    EXPECT_EQ(run_outcome, run_failed);
}

TEST_F(DownloadLoop, OtherKeysAndExtendedKeysAreDropped) {
    add_section('A', 0x40000, 2);
    platform.keys = {'x', 0, 27, 224, 72, 13};
    std::string out = run();
    EXPECT_EQ(out.find("terminated"), std::string::npos) << "0 then 27 is an extended key";
    EXPECT_EQ(run_outcome, run_ok);
    EXPECT_EQ(line.transmissions.size(), world.image.size());
    // Only a 0 announces a second code: a 224 is a key of its own.
    fake::reset();
    add_section('A', 0x40000, 2);
    platform.keys = {224, 27};
    EXPECT_NE(run().find("\nDownload terminated via <esc> key\n"), std::string::npos);
}

TEST_F(DownloadLoop, ShowRecordsEchoesTransmissionsAndReplies) {
    world.image = {{s0, 'A'}, {s7}};
    opt_show_records = 1;
    line.instrument = [](const std::string&) { return std::string("000\x01 OK\r\n"); };
    std::string out = run();
    EXPECT_NE(out.find(">" + wire(s0) + "<000 OK\n"), std::string::npos) << out;
}

TEST_F(DownloadLoop, AnImageThatCannotBeOpenedFailsTheRun) {
    std::remove(path.c_str());
    path = testing::TempDir() + "no-such-dir/no-such-image";
    std::string out = run();
    EXPECT_EQ(out, "Cannot open the download file: " + path + "\n");
    EXPECT_EQ(run_outcome, run_file_error);
    EXPECT_TRUE(line.transmissions.empty());
}

TEST_F(DownloadLoop, VersionLinesComeFirst) {
    instrument_version = 20000620;
    dsp_version = 20060504;
    add_section('A', 0x40000, 1);
    std::string out = run();
    EXPECT_EQ(
        out.rfind("Boot Version (instrument): 20000620\nDsp Version (instrument):  20060504\n", 0),
        0u)
        << out;
}

// The reboot hand-over, run by the loop after a boot section's S7.
class RebootHandover : public DownloadLoop {
  protected:
    // An instrument that answers the identification query from its n-th
    // query after the reboot commands on (0: never).
    void answer_queries_from(int n) {
        line.instrument = [this, n](const std::string& sent) -> std::string {
            // A second line after the answer, as a sign-on banner may be.
            if (sent == "\r\n?\r\n\r")
                return ++queries >= n && n > 0 ? "K940,X,20000620\r\nK940 ready\r\n" : "";
            if (sent.starts_with("$REBOOT")) return "boot...";
            return "000 OK\r\n";
        };
    }
    int queries = 0;
};

TEST_F(RebootHandover, CommandsPausesAndAnAnswerAtTheFirstQuery) {
    add_section('B', 0x7FC, 1);
    add_section('A', 0x40000, 1);
    answer_queries_from(1);
    std::string out = run();
    std::vector<std::string> expected = {wire(s0),         wire(s3(0x7FC)), wire(s7),
                                         "$REBOOT2\r\n\r", "$REBOOT\r\n\r", "\r\n?\r\n\r"};
    for (size_t i = 3; i < world.image.size(); ++i) expected.push_back(wire(world.image[i].text));
    EXPECT_EQ(line.transmissions, expected);
    EXPECT_EQ(platform.pauses_ms,
              (std::vector<unsigned>{1000, 500, 500, 500, 500, 500, 500, 500, 500, 500, 500, 556}));
    EXPECT_NE(out.find("\nRebooting target.........\n"), std::string::npos) << out;
    EXPECT_EQ(run_outcome, run_ok);
    EXPECT_EQ(reboot_pending, 0);
}

TEST_F(RebootHandover, AnAnswerAtTheTwentiethQueryStillCounts) {
    add_section('B', 0x7FC, 1);
    add_section('A', 0x40000, 1);
    answer_queries_from(20);
    std::string out = run();
    EXPECT_EQ(count_of(out, "The instrument did not automatically reboot"), 0);
    EXPECT_NE(out.find("Rebooting target" + std::string(28, '.') + "\n"), std::string::npos) << out;
    EXPECT_EQ(run_outcome, run_ok);
}

const char power_cycle_prompt[] = "\n\nThe instrument did not automatically reboot.\n"
                                  "To continue the download process, please turn\n"
                                  "off power to the instrument, then restart.\n"
                                  "When the unit has power-ed back up, press <enter>\n"
                                  "to resume, or <esc> to terminate the download.\n";

TEST_F(RebootHandover, NoAnswerAsksForAPowerCycleAndAKeyResumes) {
    add_section('B', 0x7FC, 1);
    add_section('A', 0x40000, 1);
    answer_queries_from(0);
    platform.keys_when_asked = {13};
    std::string out = run();
    EXPECT_NE(out.find("Rebooting target" + std::string(28, '.') + power_cycle_prompt + "\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(queries, 20);
    EXPECT_EQ(run_outcome, run_ok);
    EXPECT_EQ(line.transmissions.back(), wire(s7)) << "the next section went out";
}

TEST_F(RebootHandover, EscAtThePromptEndsTheDownloadWithoutAWord) {
    add_section('B', 0x7FC, 1);
    add_section('A', 0x40000, 1);
    answer_queries_from(0);
    platform.keys_when_asked = {27};
    std::string out = run();
    EXPECT_TRUE(out.ends_with(power_cycle_prompt)) << out;
    EXPECT_EQ(run_outcome, run_failed);
    EXPECT_EQ(line.transmissions.back(), "\r\n?\r\n\r");
}

TEST_F(RebootHandover, KeysPressedBeforeThePromptDoNotAnswerIt) {
    add_section('B', 0x7FC, 1);
    add_section('A', 0x40000, 1);
    answer_queries_from(0);
    auto instrument = line.instrument;
    line.instrument = [&, instrument](const std::string& sent) {
        // Pressed during the queries, when nobody looks at the keyboard.
        if (sent.starts_with("$REBOOT2")) platform.keys = {27, 'x'};
        return instrument(sent);
    };
    platform.keys_when_asked = {'y'};
    run();
    EXPECT_EQ(run_outcome, run_ok) << "the esc before the prompt was dropped";
    EXPECT_TRUE(platform.keys.empty() && platform.keys_when_asked.empty());
}

TEST_F(RebootHandover, AnExtendedKeyAtThePromptResumes) {
    add_section('B', 0x7FC, 1);
    add_section('A', 0x40000, 1);
    answer_queries_from(0);
    platform.keys_when_asked = {0, 27};
    run();
    EXPECT_EQ(run_outcome, run_ok);
}

TEST_F(RebootHandover, CharactersWithoutALineFeedAreNoAnswer) {
    add_section('B', 0x7FC, 1);
    line.instrument = [this](const std::string& sent) -> std::string {
        if (sent == "\r\n?\r\n\r") return ++queries < 20 ? ">" : ">\n";
        return "000 OK\r\n";
    };
    std::string out = run();
    EXPECT_EQ(queries, 20);
    EXPECT_EQ(out.find("did not automatically"), std::string::npos);
    EXPECT_EQ(run_outcome, run_ok) << "an image of a boot section only ends after the hand-over";
}

TEST_F(RebootHandover, FailedReadsEndTheDrainAndTheQueries) {
    add_section('B', 0x7FC, 1);
    answer_queries_from(0);
    auto instrument = line.instrument;
    line.instrument = [&, instrument](const std::string& sent) {
        if (sent.starts_with("$REBOOT") || sent.starts_with("\r\n?")) fake::deliver_failures(1);
        // Bytes behind a failed read would pass for an answer under way.
        return sent.starts_with("$REBOOT") ? std::string() : instrument(sent);
    };
    platform.keys_when_asked = {13};
    run();
    EXPECT_EQ(queries, 20);
    EXPECT_EQ(run_outcome, run_ok);
}

// A line that goes away ends the download at once, whatever it waits for,
// and nothing more is sent.
TEST_F(RebootHandover, ALostLineEndsTheDownloadWhereverItWaits) {
    struct Case {
        const char* moment;
        std::string lost_after; // the transmission that the line goes away behind
        bool at_prompt;
    } cases[] = {
        {"awaiting a reply", wire(s3(0x7FC)), false},
        {"programming", wire(s7), false},
        {"rebooting", "$REBOOT2\r\n\r", false},
        {"querying", "\r\n?\r\n\r", false},
        {"at the prompt", "", true},
    };
    for (const Case& c : cases) {
        fake::reset();
        queries = 0;
        add_section('B', 0x7FC, 1);
        add_section('A', 0x40000, 1);
        answer_queries_from(0);
        auto instrument = line.instrument;
        line.instrument = [&, instrument](const std::string& sent) {
            if (sent == c.lost_after) fake::deliver_loss();
            return sent == c.lost_after ? std::string() : instrument(sent);
        };
        platform.keyboard_open = true;
        if (c.at_prompt)
            world.on_idle_wait = [this] {
                if (queries == 20 && !line.lost) fake::deliver_loss();
            };
        std::string out = run();
        EXPECT_EQ(run_outcome, run_port_lost) << c.moment << "\n" << out;
        std::string last = c.at_prompt ? "\r\n?\r\n\r" : c.lost_after;
        EXPECT_EQ(line.transmissions.back(), last) << c.moment;
        EXPECT_LT(world.idle_waits, 100) << c.moment;
    }
}

TEST_F(RebootHandover, NoHandOverForASkippedBootSection) {
    add_section(0, 0x7FC, 1);
    add_section('A', 0x40000, 1);
    answer_queries_from(1);
    std::string out = run();
    EXPECT_EQ(out.find("Rebooting"), std::string::npos);
    EXPECT_EQ(line.transmissions, expected_wire(3, world.image.size()));
}

} // namespace
