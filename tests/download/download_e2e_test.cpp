// kelo's download end to end: the real program against the simulated K940,
// judged by the console output, the bytes on the wire and the memory the
// instrument was programmed with.
#include <gtest/gtest.h>

#include <cstring>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "expected.h"
#include "harness.h"

namespace {

using namespace harness;

// An instrument whose boot code is older than the replica's (20000620).
const char old_boot[] = "ident K940,SN1234,19990101,20070215,20060504\n";

// The test's folder, removed when the tests end.
std::string temp_dir() {
    static std::string dir = [] {
        std::string pattern = testing::TempDir() + "kelo-download-XXXXXX";
        std::vector<char> path(pattern.begin(), pattern.end());
        path.push_back('\0');
        if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return std::string(path.data());
    }();
    static int removed_at_exit = std::atexit([] { std::filesystem::remove_all(dir); });
    (void)removed_at_exit;
    return dir;
}

// Writes an image with mkimage into the test's folder; args as on its
// command line.
std::string make_image(const std::string& name, const std::string& args) {
    return harness::make_image(temp_dir(), name, args);
}

// srec_cat's reading of a section, scratch files in the test's folder.
std::string srec_cat_memory(const std::vector<std::string>& section, const std::string& name) {
    return harness::srec_cat_memory(temp_dir(), section, name);
}

// Runs kelo (or program) on the simulator's line. A key after `ending` cuts
// the final pause short.
RunResult run_kelo(const Sim& sim, std::vector<std::string> args, std::vector<KeyStep> keys = {},
                   const std::string& ending = "\nDone.\n", std::string program = "") {
    args.insert(args.begin(), program.empty() ? harness::kelo_path() : program);
    RunOptions options;
    options.env = {sim.com1_env()};
    options.keys = std::move(keys);
    // Sent once the final pause has drained the keys pressed before it.
    options.keys.push_back({300, ending, "\r"});
    options.timeout_s = 120;
    return harness::run_program(args, options);
}

// Both ways of naming the replica give the same download; the replica's boot
// code is newer than the instrument's, so all three sections go out.
void expect_full_replica_download(const RunResult& run, const Sim& sim) {
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(replica_download_faults(run.out, sim, harness::build_path("replica.s19"), temp_dir()),
              "");
}

TEST(DownloadReplica, FromTheProgramFileItself) {
    Sim sim(std::string(old_boot) + "reboot_ms 500\n");
    RunResult run = run_kelo(sim, {}, {}, "\nDone.\n", harness::build_path("kelo-demo"));
    expect_full_replica_download(run, sim);
}

TEST(DownloadReplica, NamedOnTheCommandLine) {
    Sim sim(std::string(old_boot) + "reboot_ms 500\n");
    RunResult run = run_kelo(sim, {harness::build_path("replica.s19")});
    expect_full_replica_download(run, sim);
}

// Started by a bare name through the command search path, or by a path
// through the dynamic loader (as from a folder that forbids starting
// programs), the program finds its own file, also when the current folder
// holds another image of that name.
TEST(DownloadReplica, AFileNamedLikeTheProgramIsNotItsFile) {
    std::string folder = temp_dir() + "/bare";
    std::filesystem::create_directories(folder);
    make_image("bare/kelo-demo", "--section app,records=3");
    const std::string demo = "'" + harness::build_path("kelo-demo") + "'";
    for (const std::string& start :
         {"exec -a kelo-demo " + demo, "exec /lib64/ld-linux-x86-64.so.2 " + demo}) {
        Sim sim(old_boot);
        RunOptions options;
        options.env = {sim.com1_env()};
        options.cwd = folder;
        options.keys = {when_output("Boot Code", "\x1b"), when_output("<esc> key\n", "\r", 300)};
        options.timeout_s = 60;
        RunResult run = harness::run_program({"/bin/bash", "-c", start}, options);
        EXPECT_EQ(run.out.find("(E1)"), std::string::npos) << start << run.out;
        EXPECT_NE(run.out.find("\nBoot Code (v20000620)\n"), std::string::npos) << start << run.out;
    }
}

TEST(DownloadBoot, SkippedWhenNotNewerThanTheInstruments) {
    std::string image =
        make_image("boot-app.s19", "--section boot,records=3 --section app,records=3");
    Sim sim("ident K940,SN1,20000620,20070215,20060504\n");
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\nBoot Code (v20000620)...skipping\n"), std::string::npos) << run.out;
    auto sections = sections_of(harness::read_file(image));
    EXPECT_EQ(after_probe(sim), wire_of(sections[1])) << "no boot record, no hand-over";
    EXPECT_EQ(run.out.find("Rebooting"), std::string::npos);
}

TEST(DownloadBoot, ForcedWithWAndTheInstrumentBackAtOnce) {
    std::string image =
        make_image("boot-app.s19", "--section boot,records=3 --section app,records=3");
    Sim sim("ident K940,SN1,20990101,20070215,20060504\nreboot_ms 0\n");
    RunResult run = run_kelo(sim, {"-w", image});
    EXPECT_EQ(run.status, 0) << run.out;
    auto sections = sections_of(harness::read_file(image));
    EXPECT_EQ(after_probe(sim), wire_of(sections[0]) + "$REBOOT2\r\n\r$REBOOT\r\n\r" + query_wire +
                                    wire_of(sections[1]));
    EXPECT_NE(run.out.find("\nBoot Code (v20000620)\n"), std::string::npos);
    // Eight dots, one for the query, a line end; then the 556 ms pause.
    EXPECT_NE(run.out.find("Programming.."), std::string::npos);
    EXPECT_NE(run.out.find("\nRebooting target.........\n\nApplication Code"), std::string::npos)
        << run.out;
    EXPECT_GT(run.seconds, 1.0 + 0.5 + 4.0 + 0.5 + 0.556 - 0.05) << "the hand-over's pauses";
}

TEST(DownloadReboot, AnsweredOnlyFromTheTwentiethQuery) {
    std::string image = make_image("boot-only.s19", "--section boot,records=2");
    Sim sim("ident K940,SN1,19990101\nreboot_ms 0\nreboot_answer_from 20\n");
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\nRebooting target" + std::string(28, '.') + "\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("did not automatically reboot"), std::string::npos);
    EXPECT_EQ(count_of(after_probe(sim), query_wire), 20);
    // The image ends with the boot section: the download ends after the hand-over.
    EXPECT_TRUE(run.out.ends_with("\nDone.\n"));
}

const char power_cycle_prompt[] = "\n\nThe instrument did not automatically reboot.\n"
                                  "To continue the download process, please turn\n"
                                  "off power to the instrument, then restart.\n"
                                  "When the unit has power-ed back up, press <enter>\n"
                                  "to resume, or <esc> to terminate the download.\n";

// An instrument that stays silent after the reboot commands until it is
// power-cycled; keys pressed while the queries go on, then one at the prompt.
RunResult run_unanswered(Sim& sim, const std::string& image, const std::string& early_keys,
                         const std::string& prompt_key, const std::string& ending) {
    // The user power-cycles the instrument once kelo has given up querying.
    auto cycle = std::async(std::launch::async, [&sim] {
        for (double end = harness::now_seconds() + 40; harness::now_seconds() < end;) {
            std::string transcript = sim.transcript();
            size_t reboot = transcript.find(" reboot\n");
            if (reboot != std::string::npos &&
                count_of(transcript.substr(reboot), " line ?\n") >= 20) {
                usleep(1000000); // the prompt shows
                sim.power_cycle();
                return;
            }
            usleep(100000);
        }
    });
    std::vector<KeyStep> keys = {{2000, "Rebooting target", early_keys},
                                 {2000, "to terminate the download.\n", prompt_key}};
    RunResult run = run_kelo(sim, {image}, keys, ending);
    cycle.wait();
    return run;
}

TEST(DownloadReboot, NotAnsweredThenAKeyResumes) {
    std::string image =
        make_image("boot-app.s19", "--section boot,records=3 --section app,records=3");
    // Its sign-on banner comes while the prompt waits, which sleeps on.
    Sim sim("ident K940,SN1,19990101,20070215\nreboot_ms -1\nbanner K940 BOOT\\r\\n\n");
    // The esc before the prompt must not answer it.
    RunResult run = run_unanswered(sim, image, "\x1b", "y", "\nDone.\n");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_LT(run.cpu_seconds, 0.3);
    EXPECT_NE(run.out.find("\nRebooting target" + std::string(28, '.') + power_cycle_prompt +
                           "\n\nApplication Code"),
              std::string::npos)
        << run.out;
    auto sections = sections_of(harness::read_file(image));
    EXPECT_TRUE(after_probe(sim).ends_with(std::string(query_wire) + wire_of(sections[1])));
    EXPECT_EQ(count_of(after_probe(sim), query_wire), 20);
    EXPECT_EQ(run.out.find("terminated"), std::string::npos);
}

TEST(DownloadReboot, NotAnsweredAndEscAtThePromptEndsTheRun) {
    std::string image =
        make_image("boot-app.s19", "--section boot,records=3 --section app,records=3");
    Sim sim("ident K940,SN1,19990101,20070215\nreboot_ms -1\n");
    // The key before the prompt must not answer it (it would resume).
    RunResult run = run_unanswered(sim, image, "x", "\x1b", "download.\n");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(run.out.ends_with(power_cycle_prompt)) << run.out;
    EXPECT_TRUE(after_probe(sim).ends_with(query_wire)) << "nothing sent after the prompt";
}

TEST(DownloadRefusals, FourRefusalsThenAcceptedGoesOn) {
    std::string image = make_image("app.s19", "--section app,records=40");
    Sim sim("refuse_record 3 4\n");
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    auto lines = sections_of(harness::read_file(image))[0];
    std::string expected = wire(lines[0]) + wire(lines[1]);
    for (int i = 0; i < 5; ++i) expected += wire(lines[2]);
    for (size_t i = 3; i < lines.size(); ++i) expected += wire(lines[i]);
    EXPECT_EQ(after_probe(sim), expected);
    // Each re-send shows a progress line of its own.
    EXPECT_EQ(count_of(run.out, "\n\r     Downloading (Offset 40014) "), 4) << run.out;
}

TEST(DownloadRefusals, TheFifthRefusalEndsWithTheErrorCode) {
    std::string image = make_image("app.s19", "--section app,records=40");
    Sim sim("refuse_record 3 5\nrefuse E01 CHECKSUM\n");
    RunResult run = run_kelo(sim, {image}, {}, "\nError Code (");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.ends_with("\nError Code (E01 CHECKSUM)\n")) << run.out;
    auto lines = sections_of(harness::read_file(image))[0];
    std::string expected = wire(lines[0]) + wire(lines[1]);
    for (int i = 0; i < 5; ++i) expected += wire(lines[2]);
    EXPECT_EQ(after_probe(sim), expected);
}

// A partial copy of an image, named or appended to the program file, is
// refused before anything reaches the instrument.
TEST(DownloadImageLines, AnImageCutInsideASectionIsRefusedWhole) {
    std::string replica = harness::read_file(harness::build_path("replica.s19"));
    std::string cut = replica.substr(0, replica.rfind("S3"));
    std::string named = temp_dir() + "/cut.s19";
    std::ofstream(named, std::ios::binary) << cut;
    std::string updater = temp_dir() + "/cut-updater";
    std::ofstream(updater, std::ios::binary) << harness::read_file(harness::kelo_path()) << cut;
    ASSERT_EQ(chmod(updater.c_str(), 0755), 0);
    for (const auto& [program, args] : {std::pair{std::string(), std::vector<std::string>{named}},
                                        std::pair{updater, std::vector<std::string>{}}}) {
        Sim sim(old_boot);
        RunResult run = run_kelo(sim, args, {}, "(E6)", program);
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_TRUE(run.out.ends_with(
            "Invalid download file format (E6): section 3 has no S7 end record\n"))
            << run.out;
        EXPECT_EQ(after_probe(sim), "") << "nothing sent";
    }
}

TEST(DownloadImageLines, EmptyLinesAreNotSent) {
    std::string image = make_image("blank.s19", "--section app,records=4 --blank 4 --blank 5");
    Sim sim;
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    auto lines = sections_of(harness::read_file(image))[0];
    ASSERT_EQ(lines[3], "\r\n");
    EXPECT_EQ(after_probe(sim), wire_of(lines));
    EXPECT_EQ(count_of(after_probe(sim), "\r\n\r\r\n\r"), 0);
}

TEST(DownloadImageLines, ASectionAtAnUnknownAddressIsDropped) {
    std::string image =
        make_image("e5.s19", "--section app,address=0x10000,records=3 --section dsp,records=3");
    Sim sim;
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Invalid download file format (E5)\n"), std::string::npos) << run.out;
    auto sections = sections_of(harness::read_file(image));
    EXPECT_EQ(after_probe(sim), wire_of(sections[1]));
    EXPECT_TRUE(sim.memory(1) == srec_cat_memory(sections[1], "e5-dsp"));
}

// Keys that are not esc never end or stall a download: a lone 0 or 224 on
// a pipe that stays open. (What a terminal's keys decode to, Ctrl-@ and
// Alt+x among them, the key decoder's own tests check.)
TEST(DownloadEsc, OtherKeysNeitherEndNorStallIt) {
    std::string image = make_image("app.s19", "--section app,records=6");
    struct Case {
        const char* what;
        std::string keys;
    } cases[] = {
        {"a lone 0 on a pipe", std::string(1, '\0')},
        {"a lone 224 on a pipe", "\xe0"},
    };
    for (const Case& c : cases) {
        Sim sim("reply_delay_ms 200\n");
        RunOptions options;
        options.env = {sim.com1_env()};
        options.keys = {when_output("Application Code", c.keys, 100),
                        when_output("Done.", "\r", 300)};
        options.timeout_s = 30;
        RunResult run = harness::run_program({harness::kelo_path(), image}, options);
        EXPECT_EQ(run.status, 0) << c.what << "\n" << run.out;
        EXPECT_EQ(run.out.find("terminated"), std::string::npos) << c.what;
        auto lines = sections_of(harness::read_file(image))[0];
        EXPECT_EQ(after_probe(sim), wire_of(lines)) << c.what;
    }
}

TEST(DownloadEsc, WhileAReplyIsAwaited) {
    std::string image = make_image("app.s19", "--section app,records=40");
    Sim sim("reply_delay_ms 60000\n");
    RunResult run = run_kelo(sim, {image}, {{300, "Baud rate set", "\x1b"}}, "<esc> key\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.ends_with("\nApplication Code (v20070215)\n"
                                  "\nDownload terminated via <esc> key\n"))
        << run.out;
    auto lines = sections_of(harness::read_file(image))[0];
    EXPECT_EQ(after_probe(sim), wire(lines[0]));
    EXPECT_LT(run.seconds, 5);
}

TEST(DownloadEsc, DuringTheProgrammingDots) {
    std::string image = make_image("app.s19", "--section app,records=3");
    Sim sim("programming_ms 60000\n");
    RunResult run = run_kelo(sim, {image}, {{3200, "Programming..", "\x1b"}}, "<esc> key\n");
    EXPECT_EQ(run.status, 1);
    size_t at = run.out.find("\n     Programming..");
    ASSERT_NE(at, std::string::npos) << run.out;
    std::string tail = run.out.substr(at + 19);
    size_t dots = tail.find_first_not_of('.');
    // A dot at once, then one at each turn of the wall clock's second.
    EXPECT_GE(dots, 3u) << tail;
    EXPECT_LE(dots, 5u) << tail;
    EXPECT_EQ(tail.substr(dots), "\nDownload terminated via <esc> key\n");
}

TEST(DownloadDots, OneASecondWhileTheInstrumentPrograms) {
    std::string image = make_image("app.s19", "--section app,records=3 --section dsp,records=2");
    Sim sim("programming_ms 2500\n");
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    size_t at = run.out.find("\n     Programming..");
    ASSERT_NE(at, std::string::npos);
    std::string tail = run.out.substr(at + 19);
    size_t dots = tail.find_first_not_of('.');
    EXPECT_GE(dots, 2u) << tail;
    EXPECT_LE(dots, 4u) << tail;
    EXPECT_EQ(tail.substr(dots, 2), "\n\n") << "a line end ends the phase, then the DSP header";
}

// The version lines for each kind of identification answer the probe takes.
TEST(DownloadVersions, LinesForEachCombination) {
    std::string image = make_image("app.s19", "--section app,records=1");
    struct Case {
        std::string ident;
        std::string lines;
    } cases[] = {
        {"K940,SN1,20000620", "S/W Version (instrument): 20000620\n"},
        {"K940,SN1,20000620,20070215,20060504",
         "Boot Version (instrument): 20000620\nAppl Version (instrument): 20070215\n"
         "Dsp Version (instrument):  20060504\n"},
        {"K940,SN1,20000620,0,20060504",
         "Boot Version (instrument): 20000620\nDsp Version (instrument):  20060504\n"},
        {"K940,SN1,20000620,20070215,0",
         "Boot Version (instrument): 20000620\nAppl Version (instrument): 20070215\n"},
        {"K940,SN1,20000620,0,0", "S/W Version (instrument): 20000620\n"},
    };
    for (const Case& c : cases) {
        Sim sim("ident " + c.ident + "\n");
        RunResult run = run_kelo(sim, {image});
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find("Baud rate set to 38400 (N81)\n" + c.lines + "\nApplication Code"),
                  std::string::npos)
            << c.ident << "\n"
            << run.out;
    }
}

// The progress lines of a download, worked out from the image by the rules
// of the display: a line with the 2nd, 18th, 34th ... transmission, the
// record's address and the share of the image's bytes taken so far.
std::string expected_progress(const std::vector<std::string>& lines, long image_length) {
    std::string out;
    long bytes = 0;
    int sent = 0;
    for (const std::string& line : lines) {
        bytes += static_cast<long>(line.size());
        ++sent;
        if (line[1] == '7') {
            out += "\b\b\b\b100 %\n     Programming..";
            continue;
        }
        if (sent % 16 != 2) continue;
        unsigned long address = std::stoul(line.substr(4, 8), nullptr, 16);
        long percent = std::min(99L, 100 * bytes / image_length);
        char text[80];
        std::snprintf(text, sizeof text, "\r     Downloading (Offset %lx) %ld %%", address,
                      percent);
        out += text;
    }
    return out;
}

TEST(DownloadProgress, LinesAndFiguresFollowTheImage) {
    std::string image = make_image("progress.s19", "--section app,records=100");
    Sim sim;
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    std::string text = harness::read_file(image);
    auto lines = sections_of(text)[0];
    std::string expected = expected_progress(lines, static_cast<long>(text.size()));
    EXPECT_NE(run.out.find("(v20070215)\n" + expected), std::string::npos)
        << "expected:\n"
        << expected << "\nshown:\n"
        << run.out;
    // Spot checks a reader can follow: 7 lines for 102 transmissions; the
    // first with the first S3 record (2nd transmission).
    EXPECT_EQ(count_of(run.out, "\r     Downloading"), 7);
    EXPECT_NE(run.out.find("\r     Downloading (Offset 40000) 1 %"), std::string::npos);
}

TEST(DownloadReplies, NoiseAndRepliesInPiecesAreReadRight) {
    std::string image = make_image("app.s19", "--section app,records=6");
    Sim sim("noise \\x01\\xff\\x7f\nsplit 1\nsplit_bytes 2\nsplit_gap_ms 3\n");
    RunResult run = run_kelo(sim, {"-s", image});
    EXPECT_EQ(run.status, 0) << run.out;
    auto lines = sections_of(harness::read_file(image))[0];
    EXPECT_EQ(after_probe(sim), wire_of(lines));
    // -s shows each transmission and each reply. (A Programming dot falls
    // inside the S7's reply when the wall clock's second turns while it comes.)
    std::string shown = run.out;
    std::erase(shown, '.');
    EXPECT_EQ(count_of(shown, "<000 OK\n"), static_cast<int>(lines.size())) << run.out;
    EXPECT_NE(run.out.find(">" + wire(lines[2]) + "<000 OK\n"), std::string::npos) << run.out;
}

TEST(DownloadReplies, ALineWaitingBeforeTheFirstRecordIsNoReply) {
    // After the identification answer a refusing line is already waiting.
    std::string image = make_image("app.s19", "--section app,records=3");
    Sim sim("ident_end \\r\\nE99\\n\n");
    RunResult run = run_kelo(sim, {image});
    EXPECT_EQ(run.status, 0) << run.out;
    auto lines = sections_of(harness::read_file(image))[0];
    EXPECT_EQ(after_probe(sim), wire_of(lines)) << "nothing but the records went out";
}

// Instruments that say more than a line per record, lines that come late or
// slowly, each with refusals to see that replies stay paired with records,
// and a download file touched or rewritten at record 10: either the memory
// holds the image and the run says "Done.", or it ends with status 1 before
// the S7 record of the section under way: never "Done." with a record
// missing, never a failure for an instrument that got the whole image.
TEST(DownloadInStep, LinesBesideTheRepliesNeverPassForReplies) {
    std::string image = make_image("step.s19", "--section boot,records=3 --section app,records=30 "
                                               "--section dsp,records=10");
    std::string text = harness::read_file(image);
    auto sections = sections_of(text);
    const std::string changed = "\nThe download file changed during the download: " + image;
    const struct {
        std::string scenario;
        std::string ending = ""; // "" for "Done."
        std::string refused = "refuse_record 20 1\nrefuse_record 25 1";
        std::string at_record_10 = ""; // "touch" or "rewrite"
        std::vector<std::string> env = {};
    } cases[] = {
        {"ident_end \\r\\nREADY\\r\\n"},         // lines after the identification answer,
        {"ident_end \\r\\nREADY\\r\\n\npace 1"}, // also after the first record would leave
        {"reboot_ms 5000\nbanner K940 BOOT\\r\\nready\\r\\n"}, // a sign-on banner
        {"reboot_ms 6000\nhold_queries 1"}, // queries held while rebooting, answered at once
        {"reboot_answer_delay_ms 700"},
        {"reply_twice 8"},  // the reply sent twice, right behind itself
        {"reply_twice 5"},  // the boot section's S7
        {"reply_twice 49"}, // the last S7
        // A prompt behind every reply, also between a refusal and the record's
        // next transmission, refused again: ">" joined to "E01 ..." would accept it.
        {"after_reply >\\r\\n", "", "refuse_record 20 2\nrefuse_record 25 1"},
        {"after_reply >\\r\\n\npace 1", "", ""}, // no refusal: ">E01 ..." reads as accepted
        {"after_reply OK\\r\\n\npace 1"},
        {"after_reply READY\\r\\n"},
        {"status_line PROGRAMMED\\r\\n\npace 1"}, // 100 ms after each S7's reply
        {"status_line K940 READY\\r\\n\nstatus_ms 150\nstatus_s7 3\npace 1"}, // after the last
        // 85 characters, 0.1 s apart, also after the reboot: one query at a time.
        {"baud 9600\nchar_gap_ms 100\nident K940 SERIES MEASURING INSTRUMENT,SN123,19990101,"
         "20070215,20060504,OPTIONS A B C D E F"},
        {"reply_delay_ms 20", "", "refuse_record 20 1", "touch"},
        {"reply_delay_ms 20", changed, "refuse_record 20 1", "rewrite"},
        {"programming_ms 3000", "", "refuse_record 20 1", "", {"KELO_REPLY_TIMEOUT=1"}},
    };
    for (const auto& c : cases) {
        std::ofstream(image, std::ios::binary) << text;
        Sim sim(std::string(old_boot) + c.scenario + "\n" + c.refused + "\n");
        auto change = std::async(std::launch::async, [&] {
            if (c.at_record_10.empty() || !sim.wait_for(" record 10 ", 30)) return;
            if (c.at_record_10 == "touch")
                std::filesystem::last_write_time(image,
                                                 std::filesystem::file_time_type::clock::now());
            else
                std::ofstream(image, std::ios::binary) << text << "\r\n";
        });
        RunOptions options;
        options.env = c.env;
        options.env.push_back(sim.com1_env());
        // A keyboard (a terminal) that could end a slow Programming phase with esc.
        options.terminal = !c.env.empty();
        std::string ending =
            c.ending.empty() ? options.terminal ? "Done.\r\n" : "\nDone.\n" : c.ending;
        options.keys = {{300, ending, "\r"}};
        options.timeout_s = 120;
        RunResult run = harness::run_program({harness::kelo_path(), image}, options);
        change.wait();
        EXPECT_EQ(run.status, c.ending.empty() ? 0 : 1) << c.scenario << "\n" << run.out;
        EXPECT_NE(run.out.find(ending), std::string::npos) << c.scenario << "\n" << run.out;
        int s7_sent = count_of(after_probe(sim), "\rS7");
        EXPECT_EQ(s7_sent, c.ending.empty() ? 3 : 1) << c.scenario;
        for (size_t n = 0; c.ending.empty() && n < sections.size(); ++n)
            EXPECT_TRUE(sim.memory(static_cast<int>(n + 1)) ==
                        srec_cat_memory(sections[n], "step" + std::to_string(n)))
                << c.scenario << ": section " << n + 1;
    }
}

// Every run that opened a port leaves one line of JSON in KELO_LOG, however
// it ends, and nothing kills the run or spoils a line, whatever the log,
// the names and the signals; record_check.py reads the lines back and
// checks them against the run. Each row: the scenario, a bash command ($K
// kelo, $I the image, $L the log; s SIG TEXT [OPTION] runs kelo on $I in
// the background and sends SIG once its output shows TEXT, -s showing a
// record once it is counted), keys, and what the check prints for the last
// line, or after "!" the status and the end of the output.
TEST(UpdateRecord, OneLinePerRunWhateverTheEnd) {
    std::string image = make_image("record.s19", "--section app,records=8");
    std::string log = temp_dir() + "/kelo.log", deep = temp_dir() + "/deep", folder;
    for (int i = 0; i < 120; ++i) folder += "\xc3\xa9";
    for (int i = 0; i < 12; ++i) deep += "/" + folder; // 3 KB
    const std::string k940 = " 'K940,SN1234,20000620,20070215,20060504' 20000620",
                      done = "done 0 10 0" + k940;
    const struct {
        std::string scenario, command;
        std::vector<KeyStep> keys;
        std::string expected;
        int lines = 1;
    } cases[] = {
        {"refuse_record 3 2", "$K $I", {}, "done 0 10 2" + k940},
        {"refuse_record 3 5", "$K $I", {}, "refused 1 3 4" + k940},
        {"line_lost_at record 4", "$K $I", {}, "port_lost 1 4 0" + k940},
        {"ident K940,\\x01\\xe9\"\\\\,20000620",
         "$K $I",
         {},
         "done 0 10 0 'K940,\\x01\\xe9\"\\\\,20000620' 20000620"},
        {"ident HELLO,WORLD", "$K $I", {}, "invalid_device 1 0 0 'HELLO,WORLD' None"},
        {"reply_delay_ms 60000", "$K -s $I", {when_output(">S0", "\x1b")}, "esc 1 1 0" + k940},
        {"reply_delay_ms 60000",
         "$K -s $I",
         {when_output(">S0", "\x03")},
         "interrupted 130 1 0" + k940},
        {"reply_delay_ms 60000", "s USR1 '>S0' -s", {}, "interrupted 138 1 0" + k940},
        {"", "s TERM Done.", {}, done},
        {"", "mkdir -p $J && cp $I $J && $K $J/record.s19", {}, done},
        {"", "printf '{\"planted\":1}\\n{\"planted' >$L; $K $I", {}, done},
        {"",
         "head -c 3900 /dev/zero | tr '\\0' x | sed 's/^/{\"planted\":\"/' >$L; echo >>$L; (ulimit "
         "-f 4; $K $I) && test $(stat -c %s $L) = 3913 && $K $I",
         {},
         done},
        {"", "$K $I & KELO_COM1=$C2 $K $I; wait", {}, done, 2},
        {"",
         "rm $L; mkfifo $L; exec 3<>$L; s 0 'Application Code'",
         {},
         "!0\nDone.\nkelo: the update record could not be written to $L: Broken pipe\n"},
        {"", "rm $L; mkfifo $L; $K $I", {}, "!1kelo: $L: a named pipe that nobody reads\n"},
    };
    for (const auto& c : cases) {
        std::remove(log.c_str());
        std::ofstream(log).close();
        Sim sim(c.scenario + "\n");
        std::unique_ptr<Sim> second = c.lines == 2 ? std::make_unique<Sim>() : nullptr;
        RunOptions options;
        options.env = {sim.com1_env(),
                       "K=" + harness::kelo_path(),
                       "I=" + image,
                       "L=" + log,
                       "J=" + deep,
                       "KELO_LOG=" + log,
                       "C2=" + (second ? second->link() : "")};
        options.keys = c.keys;
        options.keys.push_back(when_output("\n", "x", 3000)); // ends the closing pause
        options.terminal = !c.keys.empty();                   // Ctrl-C from a terminal
        // s: kelo in the background, SIG once TEXT shows; it must end
        // within 1.5 s of SIGTERM (the closing pause cut short).
        RunResult run = harness::run_program(
            {"/bin/bash", "-c",
             "s() { rm -f $L.out; $K $3 $I 3<&- >$L.out & p=$!; until grep -qs \"$2\" $L.out; do "
             "sleep 0.05; done; exec 3<&-; kill -$1 $p; [ $1 != TERM ] || (sleep 1.5; kill -9 $p) "
             "&>/dev/null & wait $p; r=$?; cat $L.out; return $r; }; " +
                 c.command},
            options);
        std::string shown = run.out + run.err,
                    named = c.command[0] == 'm' ? "'" + deep + "/record.s19'" : image;
        if (c.expected[0] == '!') {
            std::string ending = c.expected.substr(2).replace(c.expected.find("$L") - 2, 2, log);
            EXPECT_TRUE(shown.ends_with(ending)) << c.command << "\n" << shown;
            EXPECT_EQ(run.status, c.expected[1] - '0') << c.command;
            continue;
        }
        std::string check = "python3 " KELO_RECORD_CHECK " " + log + " " + std::to_string(c.lines) +
                            " " + named + " " + named + " >" + log + ".txt";
        EXPECT_EQ(std::system(check.c_str()), 0) << c.command << "\n"
                                                 << shown << harness::read_file(log);
        EXPECT_EQ(harness::read_file(log + ".txt"), c.expected + "\n") << c.command;
        EXPECT_EQ(run.status, std::atoi(c.expected.c_str() + c.expected.find(' ')))
            << c.command << "\n"
            << shown;
    }
    std::filesystem::remove_all(temp_dir() + "/deep");
}

} // namespace
