// Option handling: order rules, the first non-option argument, unknown options
// and what was not read (named on standard error).
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

namespace {

struct Parsed {
    int action;
    std::string name;
};

class Options : public ::testing::Test {
  protected:
    void SetUp() override {
        baud_rate = port_index = opt_ctrl_r = opt_show_records = opt_force = 0;
        image_offset = program_file_size;
    }

    Parsed parse(std::initializer_list<const char*> args) {
        storage.assign(args.begin(), args.end());
        storage.insert(storage.begin(), "kelo");
        argv.clear();
        for (std::string& s : storage) argv.push_back(s.data());
        const char* name = nullptr;
        testing::internal::CaptureStderr();
        int action = parse_options(static_cast<int>(argv.size()), argv.data(), &name);
        err = testing::internal::GetCapturedStderr();
        return {action, name};
    }

    std::string err; // what the last parse named on standard error
    std::vector<std::string> storage;
    std::vector<char*> argv;
};

TEST_F(Options, NoArgumentsReadTheProgramsOwnFile) {
    Parsed p = parse({});
    EXPECT_EQ(p.action, options_run);
    EXPECT_EQ(p.name, "kelo");
    EXPECT_EQ(image_offset, program_file_size);
    EXPECT_EQ(baud_rate, 0);
    EXPECT_EQ(port_index, 0);
    EXPECT_EQ(err, "");
}

TEST_F(Options, RatesAndPortsLaterOneWins) {
    parse({"-38", "-96", "-3", "-2"});
    EXPECT_EQ(baud_rate, 9600);
    EXPECT_EQ(port_index, 1);
    parse({"-19", "-4", "-1"});
    EXPECT_EQ(baud_rate, 19200);
    EXPECT_EQ(port_index, 0);
}

TEST_F(Options, FlagsInEitherCase) {
    parse({"-r", "-S", "-W"});
    EXPECT_EQ(opt_ctrl_r, 1);
    EXPECT_EQ(opt_show_records, 1);
    EXPECT_EQ(opt_force, 1);
    SetUp();
    parse({"-R", "-s", "-w"});
    EXPECT_EQ(opt_ctrl_r, 1);
    EXPECT_EQ(opt_show_records, 1);
    EXPECT_EQ(opt_force, 1);
}

TEST_F(Options, UnknownOptionsAreIgnored) {
    Parsed p = parse(
        {"-", "-x", "-38400", "-rs", "--HELP", "-H", "-help", "--h", "-v", "-\x1b[2J", "-19"});
    EXPECT_EQ(p.action, options_run);
    EXPECT_EQ(baud_rate, 19200);
    EXPECT_EQ(opt_ctrl_r, 0);
    EXPECT_EQ(opt_show_records, 0);
    EXPECT_EQ(p.name, "kelo");
    EXPECT_EQ(err, "kelo: ignored: - -x -38400 -rs --HELP -H -help --h -v -\\x1b[2J\n");
}

// "--port" and "-b" take the next argument (or the text behind '='), which
// is never the download name nor named as unread; a bad value is refused.
TEST_F(Options, ValueOptionsTakeTheirValue) {
    Parsed p = parse({"--port", "/dev/ttyUSB0", "-b", "9600", "-L", "--all", "--portx", "fw"});
    EXPECT_EQ(p.action, options_run);
    EXPECT_STREQ(port_option, "/dev/ttyUSB0");
    EXPECT_EQ(baud_rate, 9600);
    EXPECT_EQ(p.name, "fw");
    EXPECT_EQ(opt_list + opt_list_all, 2);
    EXPECT_EQ(err, "kelo: ignored: --portx\n");
    p = parse({"--port=COM7", "-2"});
    EXPECT_STREQ(port_option, "COM7");
    EXPECT_EQ(err, "");
    for (auto args : {std::initializer_list<const char*>{"-2", "--port", "-1"},
                      {"--port="},
                      {"-b", "57600", "fw"},
                      {"-b"}})
        EXPECT_EQ(parse(args).action, options_refused) << *args.begin();
    port_option = nullptr;
}

TEST_F(Options, NameEndsTheReadingAndSetsOffsetZero) {
    Parsed p = parse({"-2", "image.s19", "-3", "-t", "-?"});
    EXPECT_EQ(p.action, options_run);
    EXPECT_EQ(p.name, "image.s19");
    EXPECT_EQ(image_offset, 0);
    EXPECT_EQ(port_index, 1);
    EXPECT_EQ(err, "kelo: not read after the download file: -3 -t -?\n");
}

TEST_F(Options, ScriptNameKeepsItsAtSign) {
    Parsed p = parse({"-19", "--2", "@service.txt", "-2", "\x1b]0;t\x07\x7f"});
    EXPECT_EQ(p.name, "@service.txt");
    EXPECT_EQ(baud_rate, 19200);
    EXPECT_EQ(err,
              "kelo: ignored: --2\nkelo: not read after the script file: -2 \\x1b]0;t\\x07\\x7f\n");
}

TEST_F(Options, TerminalActsAtOnceWithTheOptionsBeforeIt) {
    Parsed p = parse({"-2", "-19", "-t", "-3", "file"});
    EXPECT_EQ(p.action, options_terminal);
    EXPECT_EQ(port_index, 1);
    EXPECT_EQ(baud_rate, 19200);
    EXPECT_EQ(image_offset, program_file_size);
    EXPECT_EQ(err, "kelo: not read after -t: -3 file\n");
    EXPECT_EQ(parse({"-T"}).action, options_terminal);
}

TEST_F(Options, UsageAndVersionStopTheReading) {
    const std::pair<const char*, int> rows[] = {{"-?", options_usage},
                                                {"-h", options_help},
                                                {"--help", options_help},
                                                {"-V", options_version},
                                                {"--version", options_version}};
    for (const auto& [usage, action] : rows) {
        SetUp();
        Parsed p = parse({"-96", usage, "-t", "-2", "name"});
        EXPECT_EQ(p.action, action) << usage;
        EXPECT_EQ(image_offset, program_file_size) << usage;
        EXPECT_EQ(port_index, 0) << usage;
        EXPECT_EQ(err, "kelo: not read after " + std::string(usage) + ": -t -2 name\n");
    }
    // Options are case-sensitive where the table says so.
    EXPECT_EQ(parse({"-t?"}).action, options_run);
}

TEST_F(Options, SlashQuestionMarkIsTheUsageOnlyWhereThePlatformSaysSo) {
    if (platform_usage_option) {
        EXPECT_EQ(parse({"-2", platform_usage_option, "name"}).action, options_usage);
        EXPECT_EQ(image_offset, program_file_size);
    } else {
        // Not an option on POSIX: a download name like any other.
        Parsed p = parse({"-2", "/?", "-?"});
        EXPECT_EQ(p.action, options_run);
        EXPECT_EQ(p.name, "/?");
        EXPECT_EQ(image_offset, 0);
    }
}

} // namespace
