// Tests of the simulated instrument, talking to it over its serial line
// directly, and of the harness's program runner.
#include "harness.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <thread>

using harness::make_srecord;
using harness::now_seconds;
using harness::run_program;
using harness::RunOptions;
using harness::SerialClient;
using harness::Sim;

namespace {

const std::string query = "\r\n?\r\n\r"; // as kelo puts it on the line
const std::string ident = "K940,SN1234,20000620,20070215,20060504\r\n";

// A line as kelo sends it: the text, CR, LF, CR.
std::string sent(const std::string& text) {
    return text + "\r\n\r";
}

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> result;
    for (int v : values) result.push_back(static_cast<uint8_t>(v));
    return result;
}

std::vector<uint8_t> counting(size_t count, int first) {
    std::vector<uint8_t> result;
    for (size_t i = 0; i < count; ++i) result.push_back(static_cast<uint8_t>(first + i));
    return result;
}

// Seconds until the reply contains until (or timeout), and the reply.
std::pair<double, std::string> timed(SerialClient& line, const std::string& out,
                                     const std::string& until, double timeout = 2) {
    double start = now_seconds();
    line.write(out);
    std::string reply = line.read_until(until, timeout);
    return {now_seconds() - start, reply};
}

} // namespace

TEST(SimIdentification, AnswersOnlyAtItsRateAndGarblesAtOthers) {
    Sim sim;
    SerialClient line(sim.link(), 38400);
    auto [seconds, reply] = timed(line, query, "\n");
    EXPECT_EQ(reply, ident);
    EXPECT_LT(seconds, 0.1);

    for (unsigned rate : {19200u, 9600u}) {
        line.set_baud(rate);
        line.write(query);
        std::string garbled = line.read_for(0.3);
        EXPECT_FALSE(garbled.empty()) << rate;
        EXPECT_EQ(garbled.find_first_of("\r\n"), std::string::npos) << rate;
    }
    line.set_baud(38400);
    EXPECT_EQ(line.read_for(0.2), "") << "nothing may be left over";
    line.write(query);
    EXPECT_EQ(line.read_until("\n", 1), ident);
    EXPECT_NE(sim.transcript().find(" baud 19200"), std::string::npos);
}

TEST(SimIdentification, RateSilenceGarbleAndIdentAreConfigurable) {
    Sim sim("baud 9600\nident X,Y,20000620\\x2C7\nident_end \\r\\r\\n\n");
    SerialClient line(sim.link(), 9600);
    line.write(query);
    EXPECT_EQ(line.read_until("\n", 1), "X,Y,20000620,7\r\r\n");
    line.set_baud(38400);
    line.write(query);
    EXPECT_FALSE(line.read_for(0.2).empty());

    Sim quiet("garble 0\n");
    SerialClient quiet_line(quiet.link(), 19200);
    quiet_line.write(query);
    EXPECT_EQ(quiet_line.read_for(0.3), "");

    Sim silent("silent 1\n");
    SerialClient silent_line(silent.link(), 38400);
    silent_line.write(query);
    EXPECT_EQ(silent_line.read_for(0.3), "");
    silent_line.write(sent("HELLO"));
    EXPECT_EQ(silent_line.read_until("\n", 1), "READY\r\n") << "silent only to the query";
}

TEST(SimIdentification, StaleBytesWaitOnTheLine) {
    Sim sim("stale ab\\x01\\xfe\\r\\n\n");
    SerialClient line(sim.link(), 38400);
    EXPECT_EQ(line.read_for(0.1), std::string("ab\x01\xfe\r\n"));
}

TEST(SimIdentification, AnswerDelayAndCharacterGap) {
    Sim sim("ident A,20000620\nanswer_delay_ms 150\nchar_gap_ms 20\n");
    SerialClient line(sim.link(), 38400);
    double start = now_seconds();
    line.write(query);
    std::string first = line.read_until("A", 1);
    double first_at = now_seconds() - start;
    std::string rest = line.read_until("\n", 2);
    double end_at = now_seconds() - start;
    EXPECT_EQ(first + rest, "A,20000620\r\n");
    EXPECT_GE(first_at, 0.14);
    EXPECT_LT(first_at, 0.5);
    // 12 bytes: 11 gaps of 20 ms behind the first one.
    EXPECT_GE(end_at - first_at, 0.2);
}

TEST(SimRecords, AcceptsGoodRecordsAndRefusesBadOnes) {
    Sim sim;
    SerialClient line(sim.link(), 38400);
    std::string good = make_srecord('3', 0x800, counting(20, 1));
    auto [seconds, reply] = timed(line, sent(good), "\n");
    EXPECT_EQ(reply, "000 OK\r\n");
    EXPECT_LT(seconds, 0.1);

    std::string bad_checksum = good;
    bad_checksum.back() = bad_checksum.back() == '0' ? '1' : '0';
    line.write(sent(bad_checksum));
    EXPECT_EQ(line.read_until("\n", 1), "E01 CHECKSUM\r\n");

    std::string bad_count = "S31A" + good.substr(4); // count one too high
    line.write(sent(bad_count));
    EXPECT_EQ(line.read_until("\n", 1), "E01 CHECKSUM\r\n");

    line.write(sent("S3zz"));
    EXPECT_EQ(line.read_until("\n", 1), "E01 CHECKSUM\r\n");

    Sim custom("accept 003 FINE\nrefuse E07 NO\n");
    SerialClient custom_line(custom.link(), 38400);
    custom_line.write(sent(good));
    EXPECT_EQ(custom_line.read_until("\n", 1), "003 FINE\r\n");
    custom_line.write(sent(bad_checksum));
    EXPECT_EQ(custom_line.read_until("\n", 1), "E07 NO\r\n");
}

TEST(SimRecords, RefusePlanCountsDistinctRecords) {
    Sim sim("refuse_record 2 3\nrefuse_record 4 1\n");
    SerialClient line(sim.link(), 38400);
    std::vector<std::string> records;
    for (uint32_t i = 0; i < 4; ++i)
        records.push_back(make_srecord('3', 0x100 * i, counting(8, i)));
    auto send = [&](const std::string& record) {
        line.write(sent(record));
        return line.read_until("\n", 1);
    };
    EXPECT_EQ(send(records[0]), "000 OK\r\n");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(send(records[1]), "E01 CHECKSUM\r\n") << i;
    EXPECT_EQ(send(records[1]), "000 OK\r\n");
    EXPECT_EQ(send(records[2]), "000 OK\r\n");
    EXPECT_EQ(send(records[3]), "E01 CHECKSUM\r\n");
    EXPECT_EQ(send(records[3]), "000 OK\r\n");
}

TEST(SimRecords, MemoryHoldsWhatWasAcceptedPerSection) {
    Sim sim;
    SerialClient line(sim.link(), 38400);
    std::vector<std::string> accepted;
    auto send = [&](const std::string& record) {
        line.write(sent(record));
        std::string reply = line.read_until("\n", 1);
        if (reply == "000 OK\r\n") accepted.push_back(record);
        return reply;
    };
    // Section 1: a gap, an overwrite, and a refused record that must not count.
    std::vector<uint8_t> expected(0x910, 0);
    auto put = [&](uint32_t address, const std::vector<uint8_t>& data) {
        std::copy(data.begin(), data.end(), expected.begin() + address);
    };
    send("S00600004844521B");
    send(make_srecord('3', 0x7FC, bytes({0x01, 0x31, 0x2C, 0x4C})));
    put(0x7FC, bytes({0x01, 0x31, 0x2C, 0x4C}));
    send(make_srecord('3', 0x800, counting(20, 0x40)));
    put(0x800, counting(20, 0x40));
    send(make_srecord('3', 0x802, bytes({0xAA, 0xBB})));
    put(0x802, bytes({0xAA, 0xBB}));
    send(make_srecord('3', 0x900, counting(16, 0x90)));
    put(0x900, counting(16, 0x90));
    std::string refused = make_srecord('3', 0x1000, counting(4, 0));
    refused.back() ^= 1;
    EXPECT_EQ(send(refused), "E01 CHECKSUM\r\n");
    EXPECT_EQ(send("S70500000802F0"), "000 OK\r\n");
    std::string section1 = sim.memory(1);
    EXPECT_EQ(section1, std::string(expected.begin(), expected.end()));

    send("S00600004844521B");
    send(make_srecord('3', 0x20000, counting(30, 7)));
    send("S70500000000FA");
    std::string section2 = sim.memory(2);
    ASSERT_EQ(section2.size(), 0x20000u + 30);
    std::vector<uint8_t> data = counting(30, 7);
    EXPECT_EQ(section2.substr(0x20000), std::string(data.begin(), data.end()));
    EXPECT_EQ(section2.find_first_not_of('\0'), 0x20000u);

#ifdef SREC_CAT
    // The same records through srec_cat give the same file (-multiple: the
    // overwrite is meant; the last value wins there too).
    std::string s19 = sim.dir() + "/section1.s19";
    std::string bin = sim.dir() + "/section1.bin";
    {
        std::ofstream file(s19, std::ios::binary);
        for (size_t i = 0; i < 6; ++i) file << accepted[i] << "\r\n";
    }
    std::string command =
        std::string(SREC_CAT) + " " + s19 + " -multiple -o " + bin + " -binary 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(harness::read_file(bin), section1);
#endif
}

TEST(SimRecords, ProgrammingDelayNoiseAndSplitReplies) {
    Sim sim("programming_ms 200\nnoise \\x01\\xff\n");
    SerialClient line(sim.link(), 38400);
    auto [data_seconds, data_reply] =
        timed(line, sent(make_srecord('3', 0x8000, counting(20, 0))), "\n");
    EXPECT_EQ(data_reply, "\x01\xff"
                          "000 OK\r\n");
    EXPECT_LT(data_seconds, 0.1);
    auto [end_seconds, end_reply] = timed(line, sent("S7051000094C95"), "\n");
    EXPECT_EQ(end_reply, "\x01\xff"
                         "000 OK\r\n");
    EXPECT_GE(end_seconds, 0.19);

    Sim split("split 1\nsplit_bytes 2\nsplit_gap_ms 40\n");
    SerialClient split_line(split.link(), 38400);
    auto [split_seconds, split_reply] = timed(split_line, sent("S00600004844521B"), "\n");
    EXPECT_EQ(split_reply, "000 OK\r\n");
    EXPECT_GE(split_seconds, 0.11); // four pieces, three gaps of 40 ms
    // The transcript line of the last piece may follow its bytes a little.
    size_t pieces = 0;
    for (double until = now_seconds() + 1; pieces < 4 && now_seconds() < until;) {
        std::string transcript = split.transcript();
        pieces = 0;
        for (size_t at = transcript.find(" tx "); at != std::string::npos;
             at = transcript.find(" tx ", at + 1))
            ++pieces;
        if (pieces < 4) usleep(10 * 1000);
    }
    EXPECT_EQ(pieces, 4u);
}

TEST(SimReboot, SilentWhileRebootingThenAnswersFromTheConfiguredQuery) {
    Sim sim("reboot_ms 300\nreboot_answer_from 2\n");
    SerialClient line(sim.link(), 38400);
    double start = now_seconds();
    line.write(sent("$REBOOT2"));
    line.write(sent("$REBOOT"));
    line.write(query);
    EXPECT_EQ(line.read_for(0.2), "");
    ASSERT_TRUE(sim.wait_for(" rebooted", 2));
    EXPECT_GE(now_seconds() - start, 0.29);
    line.write(query);
    EXPECT_EQ(line.read_for(0.15), "") << "the first query after the reboot";
    line.write(query);
    EXPECT_EQ(line.read_until("\n", 1), ident);
}

TEST(SimReboot, PowerCycleEndsAnEndlessReboot) {
    Sim sim("reboot_ms -1\n");
    SerialClient line(sim.link(), 38400);
    line.write(sent("$REBOOT"));
    line.write(query);
    line.write(sent(make_srecord('3', 0, counting(4, 0))));
    EXPECT_EQ(line.read_for(0.4), "");
    sim.power_cycle();
    ASSERT_TRUE(sim.wait_for(" power-cycle", 2));
    line.write(query);
    EXPECT_EQ(line.read_until("\n", 1), ident);
}

TEST(SimScript, MessageLinesRulesAndReadAcknowledgement) {
    Sim sim("reply_to *IDN? K940 SIM\\r\\n\nreply_to RD-9 DATA 42\\r\\n\n");
    SerialClient line(sim.link(), 38400);
    line.write(sent("HELLO"));
    EXPECT_EQ(line.read_until("\n", 1), "READY\r\n");
    line.write(sent("*IDN?"));
    EXPECT_EQ(line.read_until("\n", 1), "K940 SIM\r\n");

    line.write(sent("RD-1"));
    EXPECT_EQ(line.read_for(0.15), "") << "the acknowledgement waits for control-R";
    line.write("\x12");
    EXPECT_EQ(line.read_until("\n", 1), "Ok\r\n");
    line.write(sent("rd-2") + "\x12");
    EXPECT_EQ(line.read_until("\n", 1), "Ok\r\n");
    line.write(sent("RD-9") + "\x12");
    EXPECT_EQ(line.read_until("Ok\r\n", 1), "DATA 42\r\nOk\r\n");
    line.write(std::string("\x0e\x0f\x12"));
    EXPECT_EQ(line.read_for(0.15), "") << "control bytes alone draw no answer";
    EXPECT_NE(sim.transcript().find(" ctrl 14"), std::string::npos);
    EXPECT_NE(sim.transcript().find(" ctrl 15"), std::string::npos);

    Sim capital("ack OK\\r\\n\nack_delay_ms 150\nscript_reply\n");
    SerialClient capital_line(capital.link(), 38400);
    capital_line.write(sent("HELLO"));
    EXPECT_EQ(capital_line.read_for(0.15), "") << "an empty script_reply answers nothing";
    auto [seconds, ack] = timed(capital_line, sent("RD-1") + "\x12", "\n");
    EXPECT_EQ(ack, "OK\r\n");
    EXPECT_GE(seconds, 0.14);

    Sim none("ack none\n");
    SerialClient none_line(none.link(), 38400);
    none_line.write(sent("RD-1") + "\x12");
    EXPECT_EQ(none_line.read_for(0.2), "");
}

TEST(SimScript, TrickleHoldsTheLineBusy) {
    Sim sim("trickle_ms 50\ntrickle_for_ms 300\nscript_reply\n");
    SerialClient line(sim.link(), 38400);
    line.write(sent("MEASURE"));
    double start = now_seconds();
    double last = start;
    double longest_gap = 0;
    std::string received;
    while (now_seconds() - start < 0.6) {
        std::string got = line.read_for(0.01);
        if (got.empty()) continue;
        received += got;
        longest_gap = std::max(longest_gap, now_seconds() - last);
        last = now_seconds();
    }
    EXPECT_GE(received.size(), 4u);
    EXPECT_LE(received.size(), 7u);
    EXPECT_EQ(received.find_first_not_of('\x11'), std::string::npos);
    EXPECT_LT(longest_gap, 0.15);
    EXPECT_LT(last - start, 0.45) << "the trickle stops";
}

TEST(SimPacing, WireTimeOfBytesBothWays) {
    Sim sim("pace 1\nbaud 9600\n");
    SerialClient line(sim.link(), 9600);
    // At 9600 baud a byte takes 1.0417 ms. The query is judged when its CR,
    // the 4th byte, is in; each of the 40 answer bytes is handed over when its
    // last bit is: 44 byte times, 45.8 ms.
    auto [seconds, reply] = timed(line, query, "\n");
    EXPECT_EQ(reply, ident);
    EXPECT_GE(seconds, 0.0458);
    // 100 characters and the CR must arrive before the line can be answered,
    // and the 7 bytes of the answer follow: 108 byte times, 112.5 ms.
    auto [long_seconds, long_reply] = timed(line, sent(std::string(100, 'M')), "\n");
    EXPECT_EQ(long_reply, "READY\r\n");
    EXPECT_GE(long_seconds, 0.1124);

    Sim fast;
    SerialClient fast_line(fast.link(), 38400);
    auto [fast_seconds, fast_reply] = timed(fast_line, sent(std::string(100, 'M')), "\n");
    EXPECT_EQ(fast_reply, "READY\r\n");
    EXPECT_LT(fast_seconds, 0.05);
}

// A hung instrument stays on the line and silent (a lost line is driven
// through kelo in the driver's end-to-end tests).
TEST(SimFaults, HangKeepsTheLineButSendsNothingMore) {
    Sim sim("hang_at query 2\nreply_delay_ms 200\n");
    SerialClient line(sim.link(), 38400);
    line.write(query);
    EXPECT_EQ(line.read_until("\n", 1), ident);
    double from = now_seconds();
    line.write(sent("HELLO")); // its reply is due when the instrument has hung
    line.write(query);
    ASSERT_TRUE(sim.wait_for(" hang (monotonic "));
    EXPECT_GE(sim.hung_at(), from);
    line.write(query + sent("HELLO") + sent("S00600004844521B") + sent("AFTER"));
    EXPECT_EQ(line.read_for(0.5), "");
    EXPECT_TRUE(sim.wait_for(" line AFTER\n")) << "still receiving";
    pollfd p{line.fd(), POLLOUT, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(p.revents & (POLLHUP | POLLERR), 0);
    EXPECT_EQ(sim.wait_end(0), -1) << "still running";
    EXPECT_EQ(sim.lost_at(), -1);
}

TEST(SimFiles, RxLogTranscriptAndLink) {
    Sim sim;
    std::string written;
    {
        SerialClient line(sim.link(), 38400);
        for (const std::string& out : {query, sent("S00600004844521B"), std::string("\x0e\xff")}) {
            line.write(out);
            written += out;
            line.read_for(0.05);
        }
    }
    ASSERT_TRUE(sim.wait_for(" rx 0E FF"));
    EXPECT_EQ(sim.rx(), written);
    std::string transcript = sim.transcript();
    for (const char* event : {" baud 38400\n", " rx 0D 0A 3F 0D 0A 0D\n", " query 1 answered\n",
                              " record 1 S0 accepted\n", " tx 30 30 30 20 4F 4B 0D 0A\n"})
        EXPECT_NE(transcript.find(event), std::string::npos) << event;
    EXPECT_NE(sim.output().find("instrument on /dev/pts/"), std::string::npos);

    std::string link = sim.link();
    EXPECT_EQ(sim.stop(), 0);
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link goes with the simulator";
    EXPECT_NE(sim.transcript().find(" exit\n"), std::string::npos);
}

TEST(SimFiles, ReopeningTheLineKeepsTheInstrumentReachable) {
    Sim sim;
    for (int i = 0; i < 3; ++i) {
        SerialClient line(sim.link(), 38400);
        line.write(query);
        EXPECT_EQ(line.read_until("\n", 1), ident) << i;
    }
}

TEST(SimFiles, BadScenarioIsRejected) {
    RunOptions options;
    options.timeout_s = 5;
    auto unknown = run_program({harness::sim_path(), "--set", "nokey=1"}, options);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown key nokey"), std::string::npos) << unknown.err;
    auto bad = run_program({harness::sim_path(), "--set", "reply_delay_ms=soon"}, options);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("reply_delay_ms"), std::string::npos) << bad.err;
    for (const char* moment : {"record", "record 0", "reboot 2", "soon", "ms -1"}) {
        auto fault = run_program(
            {harness::sim_path(), "--set", std::string("line_lost_at=") + moment}, options);
        EXPECT_EQ(fault.status, 2) << moment;
        EXPECT_NE(fault.err.find("line_lost_at"), std::string::npos) << fault.err;
    }
    auto help = run_program({harness::sim_path(), "--help"}, options);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("refuse_record"), std::string::npos);
}

TEST(RunProgram, CapturesOutputStatusAndEnvironment) {
    RunOptions options;
    options.env = {"KELO_COM1=/tmp/x-com1"};
    auto result = run_program(
        {"/bin/sh", "-c", "echo out $KELO_COM1; echo err >&2; read x || echo eof; exit 3"},
        options);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "out /tmp/x-com1\neof\n");
    EXPECT_EQ(result.err, "err\n");
    EXPECT_FALSE(result.timed_out);
}

TEST(RunProgram, KillsAfterTheTimeout) {
    RunOptions options;
    options.timeout_s = 0.3;
    auto result = run_program({"/bin/sleep", "10"}, options);
    EXPECT_TRUE(result.timed_out);
    EXPECT_EQ(result.status, 128 + 9);
    EXPECT_GE(result.seconds, 0.29);
    EXPECT_LT(result.seconds, 2);
}

TEST(RunProgram, FeedsKeysWhenOutputAppears) {
    RunOptions options;
    options.keys = {harness::when_output("Programming", "a\n"), harness::after_ms(100, "b\n")};
    options.timeout_s = 5;
    auto result = run_program({"/bin/sh", "-c",
                               "sleep 0.1; echo Programming; read x; echo got $x; "
                               "read y; echo got $y"},
                              options);
    EXPECT_EQ(result.out, "Programming\ngot a\ngot b\n");
    EXPECT_GE(result.seconds, 0.2);
    EXPECT_FALSE(result.timed_out);
}

TEST(RunProgram, TerminalModeGivesATerminal) {
    RunOptions options;
    options.terminal = true;
    options.timeout_s = 5;
    options.keys = {harness::when_output("ready", "k\r")};
    auto result = run_program(
        {"/bin/sh", "-c", "test -t 0 && test -t 1 && echo ready && read x && echo got $x"},
        options);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("got k\r\n"), std::string::npos) << result.out;
}
