// The Windows program kelo.exe end to end under Wine, against the simulated
// K940: start-up, the probe and its failures, the ports that KELO_COMn maps,
// downloads (the whole replica from the program file itself, refusals, a
// skipped boot section), a script, and, on a console, the keys (terminal
// mode, esc, the power-cycle prompt).
// Also the checks of the Windows serial port and console layer.
//
// Run by run-wine-tests.sh; see wine_support.h for the environment.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sstream>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "expected.h"
#include "harness.h"
#include "wine_support.h"

namespace {

using namespace harness;

// An instrument whose boot code is older than the replica's (20000620).
const char old_boot[] = "ident K940,SN1234,19990101,20070215,20060504\n";

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// Every test starts with all mapped ports absent and points the ones it uses
// at its simulator.
class WineTest : public testing::Test {
  protected:
    void SetUp() override {
        for (int n : wine::mapped_ports) wine::point_port(n, "/nonexistent/kelo-port");
    }
    // kelo.exe (or program) with COMn leading to the simulator; files are
    // named relative to the simulator's folder.
    RunResult kelo(const Sim& sim, const std::vector<std::string>& args, int port = 1,
                   double timeout_s = 120, const std::string& program = wine::kelo_exe()) {
        wine::point_port(port, sim.link());
        return wine::run(program, args, sim.dir(), timeout_s);
    }
    wine::ConsoleRun kelo_on_console(const Sim& sim, const std::vector<std::string>& args,
                                     const std::vector<wine::ConsoleStep>& steps,
                                     double timeout_s = 60) {
        wine::point_port(1, sim.link());
        return wine::run_on_console(wine::kelo_exe(), args, sim.dir(), steps, timeout_s);
    }
};

// --- the program file -----------------------------------------------------------

std::string file_bytes(const std::string& path) {
    std::string bytes = harness::read_file(path);
    if (bytes.empty()) ADD_FAILURE() << "cannot read " << path;
    return bytes;
}

TEST(ProgramFile, PaddedToTheImageOffsetWithTheReplicaAppended) {
    std::string kelo = file_bytes(wine::kelo_exe());
    EXPECT_EQ(kelo.size(), 69632u);
    std::string demo = file_bytes(wine::demo_exe());
    std::string replica = file_bytes(wine::windows_build() + "/replica.s19");
    ASSERT_EQ(demo.size(), kelo.size() + replica.size());
    EXPECT_TRUE(demo.compare(0, kelo.size(), kelo) == 0) << "kelo-demo.exe starts with kelo.exe";
    EXPECT_TRUE(demo.compare(kelo.size(), std::string::npos, replica) == 0);
}

TEST(ProgramFile, ImportsOnlySystemLibraries) {
    ASSERT_STRNE(OBJDUMP, "") << "x86_64-w64-mingw32-objdump was not found";
    std::string command = std::string(OBJDUMP) + " -p '" + wine::kelo_exe() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> dlls;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text = line;
        size_t at = text.find("DLL Name: ");
        if (at == std::string::npos) continue;
        std::string name = text.substr(at + 10, text.find_first_of("\r\n", at) - at - 10);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        dlls.insert(name);
    }
    EXPECT_EQ(pclose(pipe), 0);
    // ADVAPI32: the registry, for --list.
    const std::set<std::string> system = {"KERNEL32.DLL", "USER32.DLL", "WINMM.DLL", "MSVCRT.DLL",
                                          "ADVAPI32.DLL"};
    EXPECT_TRUE(dlls.contains("KERNEL32.DLL"));
    for (const std::string& dll : dlls) EXPECT_TRUE(system.contains(dll)) << dll;
}

// --- start-up and the probe ---------------------------------------------------------

// Windows' own "/?" is "-?" by another name; "--help" names everything,
// "--list" the ports mapped in the prefix, as the registry lists them.
TEST_F(WineTest, UsageEndsAtOnceWithStatusZero) {
    Sim sim;
    for (const char* usage : {"-?", "/?", "--help", "--list"}) {
        RunResult r = kelo(sim, {"-96", usage, "-t"});
        EXPECT_EQ(r.status, 0) << usage;
        if (usage[2] == 'h') {
            EXPECT_TRUE(r.out.starts_with("Usage: kelo")) << r.out;
            EXPECT_NE(r.out.find("kelo --port COM7 firmware.s19"), std::string::npos) << r.out;
        } else if (usage[2] == 'l') {
            for (std::string n : {"1", "2", "3", "4", "12"})
                EXPECT_NE(r.out.find("COM" + n + ": \\Device\\Serial"), r.out.npos) << r.out;
        } else {
            EXPECT_EQ(r.out.find(banner_top), 0u) << r.out;
            EXPECT_TRUE(r.out.ends_with(std::string("**\n\n") + usage_text)) << usage << r.out;
        }
        EXPECT_EQ(r.out.find("Establishing"), std::string::npos) << usage;
        EXPECT_EQ(sim.rx(), "") << "the port is not opened";
        EXPECT_LT(r.seconds, 2.0) << "no key wait after the usage_text text";
    }
}

// Without a rate option the rates are probed in turn; kelo.exe carries no
// image, so the run ends at the check of its own file.
TEST_F(WineTest, ProbeFindsEachRate) {
    struct Case {
        unsigned baud;
        int port;
        std::vector<std::string> args;
        std::string rates;
    } cases[] = {
        {38400, 1, {}, "38400 "},
        {19200, 3, {"-3"}, "38400 19200 "},
        {9600, 1, {}, "38400 19200 9600 "},
    };
    for (const Case& c : cases) {
        Sim sim("baud " + std::to_string(c.baud) + "\n");
        RunResult r = kelo(sim, c.args, c.port);
        std::string com = "COM" + std::to_string(c.port);
        EXPECT_NE(r.out.find("Establishing communication on " + com + "...\nBaud rate set to " +
                             std::to_string(c.baud) + " (N81)\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("Invalid download file format (E1)\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(probed_rates(sim), c.rates);
        EXPECT_EQ(sim.rx(), repeated(query_wire, count_of(c.rates, " ")));
    }
}

TEST_F(WineTest, ProbeOfASilentInstrument) {
    Sim sim("silent 1\n");
    RunResult all = kelo(sim, {});
    EXPECT_EQ(all.status, 1);
    EXPECT_TRUE(all.out.ends_with("Establishing communication on COM1...\n"
                                  "No response detected on COM1.\n"))
        << all.out;
    EXPECT_EQ(probed_rates(sim), "38400 19200 9600 ");

    RunResult one = kelo(sim, {"-38"});
    EXPECT_EQ(one.status, 1);
    EXPECT_TRUE(one.out.ends_with("\nNo response detected on COM1\n")) << one.out;
}

TEST_F(WineTest, ProbeOfGarbageAndOfAnAnswerWithoutVersion) {
    Sim garbage("baud 57600\n");
    RunResult r = kelo(garbage, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("\nInvalid responses detected on COM1.\n")) << r.out;

    Sim no_version("ident K940 no fields\n");
    r = kelo(no_version, {"-38"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("\nInvalid device connected to COM1.\n")) << r.out;
}

TEST_F(WineTest, MissingDeviceCannotBeOpened) {
    Sim sim;
    wine::point_port(4, sim.dir() + "/no-such-device");
    RunResult r = wine::run(wine::kelo_exe(), {"-4"}, sim.dir());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("Establishing communication on COM4...\nCannot open COM4.\n"))
        << r.out;
    // The 2664 ms pause for a key ran: no console, so no key cut it short.
    EXPECT_GT(r.seconds, 2.6);
}

// Writes an image with mkimage into dir, where the test runs kelo.exe;
// returns its name, relative to dir.
std::string image_file(const std::string& dir, const std::string& name, const std::string& args) {
    make_image(dir, name, args);
    return name;
}

// KELO_COMn maps the option's port to any COM port, also to one beyond
// COM9 that opens only in the device namespace, blanks around it dropped;
// messages keep saying COMn. A port that does not open is named on standard
// error with the system's reason (Wine's words). A value too long for the
// name fails the open rather than open a device by a cut name.
TEST_F(WineTest, PortMappedThroughTheEnvironment) {
    const std::string longest = "\\\\.\\COM12" + std::string(246, ' ');
    struct Case {
        int port;
        std::string value;
        bool opens;
        std::string err = "";
        bool option = false; // named with --port, not KELO_COMn
    } cases[] = {
        {1, "COM12", true},
        {3, "\\\\.\\COM12", true},
        {1, "com12", true},
        {1, " COM12\t", true},
        {1, longest, true},
        {1, longest + " ", false, "kelo: KELO_COM1: File name is too long.\n"},
        {1, "", false, "kelo: COM1: Invalid function.\n"}, // the plain COM1, absent
        {1, "COM13", false, "kelo: \\\\.\\COM13: File not found.\n"},
        {2, "COM12", true, "", true},
        {1, "\\\\.\\COM12", true, "", true},
        {4, "COM13", false, "kelo: \\\\.\\COM13: File not found.\n", true},
    };
    for (const Case& c : cases) {
        Sim sim;
        std::string image = image_file(sim.dir(), "app.s19", "--section app,records=4");
        wine::point_port(12, sim.link());
        std::string com = "COM" + std::to_string(c.port);
        std::vector<std::string> args = {"-" + std::to_string(c.port), "-38", image};
        if (c.option) args.insert(args.begin() + 1, {"--port", c.value});
        RunResult r = wine::run(wine::kelo_exe(), args, sim.dir(), 60,
                                {"KELO_" + com + "=" + (c.option ? "COM9" : c.value)});
        std::string what = com + "=" + c.value.substr(0, 9) + " (" +
                           std::to_string(c.value.size()) + " characters)";
        EXPECT_NE(r.out.find("Establishing communication on " + com + "...\n"), std::string::npos)
            << what << "\n"
            << r.out;
        EXPECT_EQ(r.err, c.err) << what;
        if (!c.opens) {
            EXPECT_TRUE(r.out.ends_with("\nCannot open " + com + ".\n")) << what << "\n" << r.out;
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_EQ(sim.rx(), "") << what;
            continue;
        }
        EXPECT_NE(r.out.find("Baud rate set to 38400 (N81)\n"), std::string::npos) << what;
        EXPECT_TRUE(r.out.ends_with("\nDone.\n")) << what << "\n" << r.out;
        EXPECT_EQ(r.status, 0) << what;
        auto lines = sections_of(harness::read_file(sim.dir() + "/" + image))[0];
        EXPECT_EQ(after_probe(sim), wire_of(lines)) << what;
    }
}

std::string check_program(const std::string& name);

// --- downloads ----------------------------------------------------------------------

TEST_F(WineTest, RefusedFourTimesThenAcceptedGoesOn) {
    Sim sim("refuse_record 3 4\n");
    std::string image = image_file(sim.dir(), "app.s19", "--section app,records=6");
    wine::point_port(1, sim.link());
    RunResult r = wine::run(wine::kelo_exe(), {image}, sim.dir(), 120, {"KELO_LOG=kelo.log"});
    // Its update record, as Python's json reads it.
    std::string read = "python3 -c 'import json,sys; r=json.loads(open(sys.argv[1]).read());"
                       " print(r[\"outcome\"], r[\"sections\"][0][\"resends\"], r[\"port\"])' " +
                       sim.dir() + "/kelo.log >" + sim.dir() + "/record.txt";
    EXPECT_EQ(std::system(read.c_str()), 0) << harness::read_file(sim.dir() + "/kelo.log");
    EXPECT_EQ(harness::read_file(sim.dir() + "/record.txt"), "done 4 COM1\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.out.ends_with("\nDone.\n")) << r.out;
    auto lines = sections_of(harness::read_file(sim.dir() + "/" + image))[0];
    std::string expected = wire(lines[0]) + wire(lines[1]) + repeated(wire(lines[2]), 5);
    for (size_t i = 3; i < lines.size(); ++i) expected += wire(lines[i]);
    EXPECT_EQ(after_probe(sim), expected);
    EXPECT_EQ(count_of(r.out, "\n\r     Downloading (Offset 40014) "), 4) << r.out;
    EXPECT_TRUE(sim.memory(1) == srec_cat_memory(sim.dir(), lines, "app"));
}

TEST_F(WineTest, FifthRefusalEndsWithTheErrorCode) {
    Sim sim("refuse_record 3 5\nrefuse E01 CHECKSUM\n");
    std::string image = image_file(sim.dir(), "app.s19", "--section app,records=6");
    RunResult r = kelo(sim, {image});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("\nError Code (E01 CHECKSUM)\n")) << r.out;
    auto lines = sections_of(harness::read_file(sim.dir() + "/" + image))[0];
    EXPECT_EQ(after_probe(sim), wire(lines[0]) + wire(lines[1]) + repeated(wire(lines[2]), 5));
}

// A line that goes away (an adapter pulled) ends the run at once with one
// message and status 1, also in a script's interval of silence.
TEST_F(WineTest, LostLineEndsADownloadAndAScript) {
    struct Case {
        const char* what;
        std::string scenario;
        std::string arg;
    } cases[] = {
        {"download", "line_lost_at record 3\n", "app.s19"},
        {"script", "script_reply\nline_lost_at message 2\n", "@script.txt"},
    };
    for (const Case& c : cases) {
        Sim sim(c.scenario);
        image_file(sim.dir(), "app.s19", "--section app,records=6");
        write_file(sim.dir() + "/script.txt", "A\r\nB\r\nC\r\n");
        RunResult r = kelo(sim, {c.arg});
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out;
        EXPECT_TRUE(r.out.ends_with("\nConnection lost on COM1.\n")) << c.what << "\n" << r.out;
        EXPECT_EQ(r.out.find("Done."), std::string::npos) << c.what;
        ASSERT_GT(sim.lost_at(), 0) << c.what;
        std::printf("[wine] %s: ended %.3f s after the loss\n", c.what, r.ended_at - sim.lost_at());
        // A second to notice it, then the closing pause that no key can cut
        // short without a console.
        EXPECT_LT(r.ended_at - sim.lost_at(), 2.0 + 2.664) << c.what;
    }
}

TEST_F(WineTest, ImageCutInsideASectionIsRefusedBeforeAnythingIsSent) {
    Sim sim;
    std::string image = image_file(sim.dir(), "app.s19", "--section app,records=6");
    std::string text = harness::read_file(sim.dir() + "/" + image);
    write_file(sim.dir() + "/cut.s19", text.substr(0, text.rfind("S7")));
    RunResult r = kelo(sim, {"cut.s19"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        r.out.ends_with("Invalid download file format (E6): section 1 has no S7 end record\n"))
        << r.out;
    EXPECT_EQ(after_probe(sim), "");
}

// Lines beside the replies (a sign-on banner after the reboot, an answer
// 0.7 s late, a prompt behind every reply, a status line after programming)
// change nothing, and a refused record is still sent again: the memory holds
// the image. A download file that another program holds open for writing is
// read as it stands; one rewritten while it goes out ends the run before its
// S7 record. Without a console no key can come: noise at the probe and a
// silent instrument end the run in time.
TEST_F(WineTest, LinesBesideTheRepliesNoiseSilenceAndTheFileChanged) {
    const std::string changed = "\nThe download file changed during the download: step.s19\n";
    const struct {
        std::string scenario, ending;
        std::string file = ""; // "rewrite" at record 10, or "hold" open for writing
    } cases[] = {
        {"reboot_ms 5000\nbanner K940 BOOT\\r\\nready\\r\\n", "\nDone.\n"},
        {"reboot_answer_delay_ms 700", "\nDone.\n"},
        {"after_reply >\\r\\n", "\nDone.\n"},
        {"status_line PROGRAMMED\\r\\n", "\nDone.\n"},
        {"reply_delay_ms 20", "\nDone.\n", "hold"},
        {"reply_delay_ms 20", changed, "rewrite"},
        {"silent 1\nchatter_ms 1", "\nInvalid responses detected on COM1.\n"},
        {"hang_at record 3",
         "\nNo reply from the instrument on COM1 for 2 s: the download ends.\n"},
    };
    for (const auto& [scenario, ending, file] : cases) {
        int s7_sent = ending == "\nDone.\n" ? 2 : ending == changed;
        Sim sim(std::string(old_boot) + scenario + "\nrefuse_record 8 1\n");
        image_file(sim.dir(), "step.s19", "--section boot,records=2 --section app,records=20");
        std::string path = sim.dir() + "/step.s19";
        std::string text = harness::read_file(path);
        auto holder = std::async(std::launch::async, [&] {
            if (file == "hold")
                wine::run(check_program("hold_check.exe"), {"step.s19", "90"}, sim.dir(), 100);
        });
        for (int tenths = 0;
             file == "hold" && tenths < 300 && !std::filesystem::exists(path + ".held"); ++tenths)
            usleep(100 * 1000);
        auto rewrite = std::async(std::launch::async, [&] {
            if (file == "rewrite" && sim.wait_for(" record 10 ", 60))
                write_file(path, text + "\r\n");
        });
        wine::point_port(1, sim.link());
        RunResult r = wine::run(wine::kelo_exe(), {"-38", "step.s19"}, sim.dir(), 60,
                                {"KELO_REPLY_TIMEOUT=2"});
        rewrite.wait();
        write_file(path + ".done", "");
        holder.wait();
        EXPECT_EQ(r.status, s7_sent == 2 ? 0 : 1) << scenario << "\n" << r.out;
        EXPECT_TRUE(r.out.ends_with(ending)) << r.out;
        EXPECT_EQ(r.err.find("open for writing in another") != std::string::npos, file == "hold");
        EXPECT_LT(r.seconds, 15) << scenario;
        auto sections = sections_of(text);
        EXPECT_EQ(count_of(after_probe(sim), "\rS7"), s7_sent) << scenario;
        for (size_t n = 0; s7_sent == 2 && n < sections.size(); ++n)
            EXPECT_TRUE(sim.memory(static_cast<int>(n + 1)) ==
                        srec_cat_memory(sim.dir(), sections[n], "s" + std::to_string(n)))
                << scenario << ": section " << n + 1;
    }
}

TEST_F(WineTest, BootSectionSkippedForANewerInstrument) {
    Sim sim("ident K940,SN1,20991231,1,2\n");
    std::string image =
        image_file(sim.dir(), "boot-app.s19", "--section boot,records=3 --section app,records=3");
    RunResult r = kelo(sim, {image});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Boot Version (instrument): 20991231\n"
                         "Appl Version (instrument): 1\n"
                         "Dsp Version (instrument):  2\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nBoot Code (v20000620)...skipping\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Rebooting"), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("\nDone.\n")) << r.out;
    auto sections = sections_of(harness::read_file(sim.dir() + "/" + image));
    EXPECT_EQ(after_probe(sim), wire_of(sections[1])) << "no boot record, no hand-over";
    EXPECT_TRUE(sim.memory(1) == srec_cat_memory(sim.dir(), sections[1], "app"));
}

// The self-contained updater: no argument, the image read from its own file
// at offset 69632, all three sections with the reboot hand-over between the
// boot and the application section. About five minutes under Wine.
TEST_F(WineTest, WholeReplicaFromTheProgramFileItself) {
    Sim sim(std::string(old_boot) + "reboot_ms 500\n");
    double start = harness::now_seconds();
    RunResult r = kelo(sim, {}, 1, 900, wine::demo_exe());
    std::printf("[wine] whole replica download: %.0f s\n", harness::now_seconds() - start);
    ASSERT_FALSE(r.timed_out) << r.out.substr(r.out.size() > 400 ? r.out.size() - 400 : 0);
    EXPECT_EQ(r.status, 0) << r.out.substr(r.out.size() > 400 ? r.out.size() - 400 : 0);
    EXPECT_EQ(
        replica_download_faults(r.out, sim, wine::windows_build() + "/replica.s19", sim.dir()), "");
}

// --- a script -------------------------------------------------------------------------

TEST_F(WineTest, ScriptLinesSentAndRepliesShown) {
    Sim sim("reply_to *IDN? K940,SN1234\\r\\n\n");
    write_file(sim.dir() + "/script.txt", "*IDN?\r\nHELLO\r\n@N\r\nRD-5\r\n");
    RunResult r = kelo(sim, {"@script.txt"});
    EXPECT_EQ(r.status, 0) << r.out;
    // The player's own query first; the N command is the byte 14 alone; an
    // RD- line is followed by control-R and waits for the acknowledgement.
    EXPECT_EQ(after_probe(sim), "?\r\n\r*IDN?\r\n\rHELLO\r\n\r\x0eRD-5\r\n\r\x12");
    EXPECT_NE(r.out.find("K940,SN1234\nREADY\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("READY\nOk\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("\nDone.\n")) << r.out;
    EXPECT_NE(r.err.find(">?\n>*IDN?\n>HELLO\n>RD-5\n"), std::string::npos) << r.err;
}

// --- keys on a console ----------------------------------------------------------------

// The simulator's received bytes contain text.
wine::ConsoleStep when_received(const Sim& sim, const std::string& text, const std::string& bytes,
                                int delay_ms = 0) {
    return wine::ConsoleStep{
        [&sim, text](const std::string&) { return sim.rx().find(text) != std::string::npos; },
        bytes, delay_ms};
}

TEST_F(WineTest, TerminalModeOnAConsole) {
    Sim sim;
    // Enter, Tab, control-A; the up arrow, an extended key that the console
    // gives as 224 and then 72 ('H'), both sent as they come; esc ends the
    // mode. Wine's _kbhit does not count a key without a character, so the
    // arrow is taken once the x behind it waits.
    std::vector<wine::ConsoleStep> steps = {
        wine::when_shown("<< TERMINAL MODE >>", "hi\r", 300),
        when_received(sim, "hi\r", "\t\x01", 300),
        when_received(sim, "\t\x01", "\x1b[Ax", 300),
        when_received(sim, "x", wine::esc_key, 300),
    };
    wine::ConsoleRun r = kelo_on_console(sim, {"-t"}, steps);
    EXPECT_FALSE(r.timed_out) << r.shown;
    EXPECT_EQ(r.status, 0) << r.shown;
    EXPECT_EQ(sim.rx(), "hi\r\t\x01\xe0Hx");
    size_t at = r.shown.find("<< TERMINAL MODE >>\n\n");
    ASSERT_NE(at, std::string::npos) << r.shown;
    EXPECT_EQ(r.shown.substr(at + 21), "hi\nREADY\n<I><A>Hx\n") << r.raw;
}

// Ctrl-C on the console ends the run as a failure, at once, and the console
// handler writes the update record; in the closing pause after "Done." it
// only ends the pause, and the run keeps its status.
TEST_F(WineTest, ControlCEndsTheRunWithStatusOne) {
    for (std::string args : {"-t", "app.s19"}) {
        Sim sim;
        image_file(sim.dir(), "app.s19", "--section app,records=2");
        setenv("KELO_LOG", "kelo.log", 1);
        wine::ConsoleRun r = kelo_on_console(
            sim, {args}, {wine::when_shown(args == "-t" ? "MODE >>" : "Done.", "\x03", 300)}, 60);
        unsetenv("KELO_LOG");
        EXPECT_EQ(r.status, args == "-t" ? 1 : 0) << r.shown;
        ASSERT_EQ(r.typed_at.size(), 1u);
        EXPECT_LT(r.seconds - r.typed_at[0], 2.0);
        std::string log = harness::read_file(sim.dir() + "/kelo.log");
        EXPECT_NE(
            log.find(args == "-t" ? "\"interrupted\",\"status\":1}" : "\"done\",\"status\":0}"),
            std::string::npos)
            << log;
    }
}

TEST_F(WineTest, EscEndsADownloadAwaitingAReply) {
    Sim sim("reply_delay_ms 60000\n");
    std::string image = image_file(sim.dir(), "app.s19", "--section app,records=40");
    std::vector<wine::ConsoleStep> steps = {
        when_received(sim, "S0", wine::esc_key, 500),
        // A key once the message shows cuts the closing pause short.
        wine::when_shown("terminated via <esc> key\n", "x", 300),
    };
    wine::ConsoleRun r = kelo_on_console(sim, {image}, steps);
    EXPECT_FALSE(r.timed_out) << r.shown;
    EXPECT_EQ(r.status, 1) << r.shown;
    EXPECT_NE(r.shown.find("\nApplication Code (v20070215)\n\nDownload terminated via <esc> key\n"),
              std::string::npos)
        << r.shown;
    auto lines = sections_of(harness::read_file(sim.dir() + "/" + image))[0];
    EXPECT_EQ(after_probe(sim), wire(lines[0]));
    ASSERT_EQ(r.typed_at.size(), 2u);
    EXPECT_LT(r.seconds - r.typed_at[1], 1.5) << "the key ended the pause";
}

// Standard input redirected in a console window ("kelo.exe fw.s19 < nul"):
// the keys still come from the console, one source for the key test and the
// key read, so a key other than esc does not end the download and the
// closing pause ends on a key.
TEST_F(WineTest, KeysFromTheConsoleWithStandardInputRedirected) {
    Sim sim("reply_delay_ms 60000\n");
    std::string image = image_file(sim.dir(), "app.s19", "--section app,records=40");
    std::vector<wine::ConsoleStep> steps = {
        when_received(sim, "S0", "x", 500),
        wine::when_shown("Code", wine::esc_key, 1000),
        wine::when_shown("<esc> key", "y", 500),
    };
    // cmd.exe on the console redirects kelo.exe's standard input, as a user
    // does in a console window.
    std::string exe = "Z:" + wine::kelo_exe();
    for (char& c : exe)
        if (c == '/') c = '\\';
    wine::point_port(1, sim.link());
    wine::ConsoleRun r =
        wine::run_on_console("cmd", {"/c", exe + " " + image + " < nul"}, sim.dir(), steps, 30);
    EXPECT_FALSE(r.timed_out) << r.shown;
    EXPECT_EQ(r.status, 1) << r.shown;
    ASSERT_EQ(r.typed_at.size(), 3u) << r.shown;
    EXPECT_NE(r.shown.find("\nDownload terminated via <esc> key\n"), std::string::npos) << r.shown;
    EXPECT_LT(r.seconds - r.typed_at[2], 1.5) << "the key ended the pause";
}

TEST_F(WineTest, EscEndsAScriptAwaitingTheAcknowledgement) {
    Sim sim("ack none\nreply_to RD- WAIT\\r\\n\n");
    write_file(sim.dir() + "/script.txt", "RD-1\r\nNEXT\r\n");
    std::vector<wine::ConsoleStep> steps = {
        wine::when_shown("WAIT", wine::esc_key, 1000),
        wine::when_shown("\nDone.\n", "x", 300),
    };
    wine::ConsoleRun r = kelo_on_console(sim, {"@script.txt"}, steps);
    EXPECT_FALSE(r.timed_out) << r.shown;
    EXPECT_EQ(r.status, 0) << r.shown;
    EXPECT_NE(r.shown.find("WAIT\n\nMessages terminated via <esc> key\n\nDone.\n"),
              std::string::npos)
        << r.shown;
    EXPECT_EQ(after_probe(sim), "?\r\n\rRD-1\r\n\r\x12");
    EXPECT_LT(r.seconds, 15) << "esc ended the 25 s wait for the acknowledgement";
}

// The instrument stays silent after the reboot commands; at the prompt the
// user power-cycles it and presses enter, and the download goes on.
TEST_F(WineTest, PowerCyclePromptAnsweredOnTheConsole) {
    Sim sim("ident K940,SN1,19990101,20070215\nreboot_ms -1\n");
    std::string image =
        image_file(sim.dir(), "boot-app.s19", "--section boot,records=2 --section app,records=2");
    Sim& instrument = sim;
    std::vector<wine::ConsoleStep> steps = {
        wine::ConsoleStep{[&instrument](const std::string& shown) {
                              if (shown.find("to terminate the download.") == std::string::npos)
                                  return false;
                              instrument.power_cycle();
                              return true;
                          },
                          "\r", 500},
        wine::when_shown("\nDone.\n", "x", 300),
    };
    wine::ConsoleRun r = kelo_on_console(sim, {image}, steps, 90);
    EXPECT_FALSE(r.timed_out) << r.shown;
    EXPECT_EQ(r.status, 0) << r.shown;
    EXPECT_NE(r.shown.find("\nRebooting target" + std::string(28, '.') +
                           "\n\nThe instrument did not automatically reboot.\n"),
              std::string::npos)
        << r.shown;
    EXPECT_NE(r.shown.find("to resume, or <esc> to terminate the download.\n\n\nApplication"),
              std::string::npos)
        << r.shown;
    auto sections = sections_of(harness::read_file(sim.dir() + "/" + image));
    EXPECT_TRUE(after_probe(sim).ends_with(repeated(query_wire, 20) + wire_of(sections[1])));
}

// --- the Windows serial port and console layer ----------------------------------------

// A null-modem cable between two pseudo-terminals: what one end's user
// writes, the other end's user reads. Flow stops when a side's queue is
// full, as on a real line, so that a writer can get stuck.
class NullModem {
  public:
    explicit NullModem(const std::string& dir) {
        for (int i = 0; i < 2; ++i) {
            char name[256];
            if (openpty(&master_[i], &slave_[i], name, nullptr, nullptr) != 0)
                throw std::runtime_error("openpty failed");
            termios raw;
            tcgetattr(slave_[i], &raw);
            cfmakeraw(&raw);
            tcsetattr(slave_[i], TCSANOW, &raw);
            fcntl(master_[i], F_SETFL, fcntl(master_[i], F_GETFL) | O_NONBLOCK);
            end_[i] = dir + "/end" + std::to_string(i + 1);
            std::filesystem::create_symlink(name, end_[i]);
        }
        relay_ = std::thread([this] { relay(); });
    }
    ~NullModem() {
        stop_ = true;
        relay_.join();
        for (int i = 0; i < 2; ++i) {
            close(master_[i]);
            close(slave_[i]);
        }
    }
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;
    const std::string& end(int i) const { return end_[i]; }

  private:
    void relay() {
        std::string pending[2]; // read from end i, not yet written to the other
        while (!stop_) {
            pollfd fds[2];
            for (int i = 0; i < 2; ++i) {
                short events = pending[i].empty() ? POLLIN : 0;
                if (!pending[1 - i].empty()) events |= POLLOUT;
                fds[i] = {master_[i], events, 0};
            }
            poll(fds, 2, 10);
            char buffer[1024];
            for (int i = 0; i < 2; ++i) {
                if (pending[i].empty()) {
                    ssize_t n = read(master_[i], buffer, sizeof buffer);
                    if (n > 0) pending[i].assign(buffer, static_cast<size_t>(n));
                }
                std::string& out = pending[1 - i];
                if (!out.empty()) {
                    ssize_t n = write(master_[i], out.data(), out.size());
                    if (n > 0) out.erase(0, static_cast<size_t>(n));
                }
            }
        }
    }

    int master_[2] = {-1, -1};
    int slave_[2] = {-1, -1};
    std::string end_[2];
    std::atomic<bool> stop_{false};
    std::thread relay_;
};

// A check program of the native build (built when MinGW-w64 is installed).
std::string check_program(const std::string& name) {
    std::string path = std::string(CHECKS_DIR) + "/" + name;
    if (!std::filesystem::exists(path)) ADD_FAILURE() << path << " was not built (MinGW-w64?)";
    return path;
}

TEST_F(WineTest, SerialPortOnANullModem) {
    Sim sim; // for its folder
    NullModem cable(sim.dir());
    wine::point_port(1, cable.end(0));
    wine::point_port(2, cable.end(1));
    RunResult r = wine::run(check_program("serial_check.exe"), {"--stuck-write"}, sim.dir(), 180);
    std::printf("%s", r.out.c_str());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("wine serial checks: 0 failed"), std::string::npos) << r.out;
}

TEST_F(WineTest, ConsoleKeysWithoutAConsole) {
    Sim sim;
    RunResult r = wine::run(check_program("console_check.exe"), {}, sim.dir());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("wine console checks: 0 failed"), std::string::npos) << r.out;
}

TEST_F(WineTest, ConsoleKeysOnAConsole) {
    Sim sim;
    std::vector<wine::ConsoleStep> steps = {
        wine::when_shown("ready", "a", 1000),
        wine::when_shown("first key", wine::esc_key, 1000),
    };
    wine::ConsoleRun r =
        wine::run_on_console(check_program("console_check.exe"), {"--keys"}, sim.dir(), steps);
    std::printf("%s", r.shown.c_str());
    EXPECT_EQ(r.status, 0) << r.shown;
    EXPECT_NE(r.shown.find("wine console checks: 0 failed"), std::string::npos) << r.shown;
}

// The desktop's screen saver is off while kelo runs and as it was
// afterwards: after two overlapping runs (the second finds it off and
// leaves it) and after a run ended by Ctrl-C.
TEST_F(WineTest, ScreenSaverOffForTheRunAndAsItWasAfter) {
    Sim a("reply_delay_ms 1000\n");
    Sim b("reply_delay_ms 1000\n");
    image_file(a.dir(), "app.s19", "--section app,records=2");
    wine::point_port(1, a.link());
    wine::point_port(2, b.link());
    auto saver = [&a](std::vector<std::string> set) {
        return wine::run(check_program("saver_check.exe"), set, a.dir()).out;
    };
    auto run_on = [&a](int port) {
        return std::async(std::launch::async, [&a, port] {
            return wine::run(wine::kelo_exe(), {"-" + std::to_string(port), "app.s19"}, a.dir());
        });
    };
    EXPECT_EQ(saver({"1"}), "screen saver 1\n");
    auto first = run_on(1);
    EXPECT_TRUE(a.wait_for(" record 1 ", 30));
    EXPECT_EQ(saver({}), "screen saver 0\n") << "during a run";
    EXPECT_EQ(run_on(2).get().status, 0) << "a second run beside it, which finds it off";
    EXPECT_EQ(first.get().status, 0);
    EXPECT_EQ(saver({}), "screen saver 1\n") << "after both";
    wine::ConsoleRun r = kelo_on_console(a, {"-t"}, {wine::when_shown("TERMINAL", "\x03", 300)});
    EXPECT_EQ(r.status, 1) << r.shown;
    EXPECT_EQ(saver({}), "screen saver 1\n") << "after Ctrl-C";
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new wine::Session);
    int failed = RUN_ALL_TESTS();
    return failed != 0 || !wine::Session::ready() ? 1 : 0;
}
