// kelo's start-up, options and link probe, run as a program against the
// simulated instrument.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// "-?" is the old tool's ten lines; "-h" and "--help" name everything.
TEST(Usage, BannerAndUsageWithoutKeyWait) {
    for (const char* help : {"-h", "--help"}) {
        RunResult r = kelo({"-96", help, "-t"}, RunOptions{});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out.starts_with("Usage: kelo [OPTION]... [IMAGE | @SCRIPT]\n")) << r.out;
        for (const char* named : {"--port DEVICE", "--list", "-b RATE", "-i, -I", "-V", "-s, -S",
                                  "KELO_COM1", "KELO_LOG", "KELO_REPLY_TIMEOUT", "kelo(1)"})
            EXPECT_NE(r.out.find(named), std::string::npos) << named;
        EXPECT_EQ(r.err, "kelo: not read after " + std::string(help) + ": -t\n");
    }
    for (const char* usage : {"-?"}) {
        RunOptions options;
        options.timeout_s = 10;
        RunResult r = kelo({"-96", usage, "-t"}, options);
        EXPECT_EQ(r.status, 0) << usage;
        EXPECT_EQ(r.out.find(banner_top), 0u) << r.out;
        ASSERT_GE(r.out.size(), std::strlen(usage_text));
        EXPECT_EQ(r.out.substr(r.out.size() - (std::strlen(usage_text))), usage_text) << usage;
        EXPECT_EQ(r.out.find("Establishing"), std::string::npos) << usage;
        EXPECT_EQ(r.err, "kelo: not read after " + std::string(usage) + ": -t\n");
        EXPECT_LT(r.seconds, 1.0) << "no key wait after the usage text";
        // 7 banner lines, an empty line, 10 usage lines; every box line 70 wide.
        EXPECT_EQ(count_of(r.out, "\n"), 18) << usage;
        EXPECT_EQ(r.out.find("**\n\n"), 6 * 71 + 68u);
        // The maker's line (the 5th): 70 characters between asterisks.
        EXPECT_EQ(r.out.substr(283, 2), "\n*");
        EXPECT_EQ(r.out.substr(353, 2), "*\n");
    }
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

// The port and the rate as the command line names them. "SIM" stands for
// the simulator's device, "IMAGE" for a small image beside it.
TEST(Probe, ChosenRateAndPort) {
    const std::string refused = "kelo: /dev/ttyUSB9 names a port, not a download file; name "
                                "the port with --port /dev/ttyUSB9\n";
    const std::string no_port = "kelo: --port needs the port's device: --port /dev/ttyUSB0\n";
    const std::string no_rate = "kelo: -b needs the rate: 38400, 19200 or 9600\n";
    const std::string q = query_wire;
    struct Case {
        std::vector<std::string> args;
        std::string env; // "KELO_COMn=" with the simulator's device behind
        std::string out; // shown on standard output; "" for no banner at all
        std::string err;
        std::string rx; // what the simulator received
    } cases[] = {
        {{"-3", "-19", "IMAGE"}, "KELO_COM3=", "COM3...\nBaud rate set to 19200 (N81)\n", "", q},
        {{"--port", "SIM", "IMAGE"}, "", "COM1...\nBaud rate set to 19200", "", q},
        {{"--port=SIM", "-19", "IMAGE"}, "", "COM1...\nBaud rate set to 19200", "", q},
        {{"--port", "SIM", "-2", "-b", "19200", "IMAGE"}, "", "COM2...\nBaud", "", q},
        {{"-b", "38400", "IMAGE"}, "KELO_COM1=", "Invalid responses detected on COM1.\n", "", q},
        {{"-2", "--port"}, "KELO_COM2=", "", no_port, ""},
        {{"--port", "-2", "IMAGE"}, "", "", no_port, ""},
        {{"-b", "57600", "IMAGE"}, "KELO_COM1=", "", no_rate, ""},
        {{"/dev/ttyUSB9"}, "KELO_COM1=", "**\n\n", refused, ""},
    };
    for (const Case& c : cases) {
        Sim sim("baud 19200\n");
        std::vector<std::string> args = c.args;
        for (std::string& arg : args) {
            if (arg.ends_with("SIM")) arg.replace(arg.size() - 3, 3, sim.link());
            if (arg == "IMAGE") arg = make_image(sim.dir(), "app.s19", "--section app,records=2");
        }
        std::string what = args.front() + " " + args.back();
        std::vector<std::string> env;
        if (!c.env.empty()) env.push_back(c.env + sim.link());
        RunResult r = kelo(args, ending_on(c.out.starts_with("COM") ? "Done." : "COM", env));
        EXPECT_EQ(r.out.empty(), c.out.empty()) << what << ": the banner";
        EXPECT_NE(r.out.find(c.out), std::string::npos) << what << "\n" << r.out;
        EXPECT_TRUE(r.err.ends_with(c.err)) << what << "\n" << r.err;
        EXPECT_EQ(r.status, c.out.starts_with("COM") ? 0 : 1) << what;
        EXPECT_EQ(sim.rx().substr(0, c.rx.size()), c.rx) << what;
        EXPECT_EQ(sim.rx().empty(), c.rx.empty()) << what << ": the port opened";
    }
}

TEST(Probe, OptionsAfterTheFileNameAreNotRead) {
    Sim sim("baud 19200\n");
    RunResult r = kelo({"-2", "-19", "missing.s19", "-3", "-38"},
                       ending_on("download file", {"KELO_COM2=" + sim.link()}));
    EXPECT_NE(r.out.find("Establishing communication on COM2...\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Baud rate set to 19200 (N81)\n"), std::string::npos);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kelo: not read after the download file: -3 -38\n"
                     "kelo: missing.s19: No such file or directory\n");
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
        // A long answer takes as long as its bytes need: 85 of them, 0.1 s apart.
        {"char_gap_ms 100\nident K940 SERIES MEASURING INSTRUMENT,SN123,20000620,20070215,"
         "20060504,OPTIONS A B C D E F\n",
         "Baud rate set to 38400 (N81)\n"},
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

// A folder that every user may enter, removed at the end, for the devices
// that kelo run as another user must reach. It holds a copy of kelo too: the
// build tree may lie in a folder that only its owner enters.
class OpenFolder {
  public:
    OpenFolder() {
        char name[] = "/tmp/kelo-port-XXXXXX";
        if (mkdtemp(name) != nullptr && chmod(name, 0755) == 0) path = name;
        std::string bytes = harness::read_file(harness::kelo_path());
        std::string copy = path + "/kelo";
        FILE* file = path.empty() ? nullptr : std::fopen(copy.c_str(), "wb");
        if (file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() &&
            std::fclose(file) == 0 && chmod(copy.c_str(), 0755) == 0)
            kelo = copy;
    }
    ~OpenFolder() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    std::string path;
    std::string kelo; // empty when the copy failed
};

// A pseudo-terminal whose device every user may open, standing for a port.
struct OpenPty {
    OpenPty() {
        char name[64];
        if (openpty(&master, &device, name, nullptr, nullptr) == 0) path = name;
        if (!path.empty()) chmod(name, 0666);
    }
    ~OpenPty() {
        if (device >= 0) ::close(device);
        if (master >= 0) ::close(master);
    }
    OpenPty(const OpenPty&) = delete;
    OpenPty& operator=(const OpenPty&) = delete;

    int master = -1;
    int device = -1; // held open by this process
    std::string path;
};

// UUCP lock files that name this process, removed at the end.
struct LockFiles {
    explicit LockFiles(std::vector<std::string> names) : paths(std::move(names)) {
        for (const std::string& path : paths) {
            if (FILE* file = std::fopen(path.c_str(), "w"))
                std::fprintf(file, "%10d\n", static_cast<int>(getpid())), std::fclose(file);
        }
    }
    ~LockFiles() {
        for (const std::string& path : paths) unlink(path.c_str());
    }
    std::vector<std::string> paths;
};

// The command that runs kelo as a user without rights to the test's files:
// as root through setpriv as nobody; any other user already is one. Empty
// when root has no setpriv.
std::vector<std::string> unprivileged(const std::string& kelo) {
    if (getuid() != 0) return {kelo};
    std::string setpriv = access("/usr/bin/setpriv", X_OK) == 0 ? "/usr/bin/setpriv"
                          : access("/bin/setpriv", X_OK) == 0   ? "/bin/setpriv"
                                                                : "";
    if (setpriv.empty()) return {};
    return {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", kelo};
}

std::string group_name(gid_t gid) {
    const group* entry = getgrgid(gid);
    return entry ? entry->gr_name : "";
}

// A port that cannot be opened: "Cannot open COMn." on standard output, and
// on standard error exactly one line, "kelo: PATH: REASON", also when the
// probe would have tried three rates.
TEST(Port, ReasonForAPortThatCannotBeOpened) {
    OpenFolder folder;
    ASSERT_FALSE(folder.kelo.empty()) << "cannot copy kelo into " << folder.path;
    // Held by another program: flock (another kelo), or TIOCEXCL that
    // makes the open itself fail with EBUSY for every user but root.
    OpenPty locked;
    OpenPty exclusive;
    ASSERT_FALSE(locked.path.empty() || exclusive.path.empty());
    ASSERT_EQ(flock(locked.device, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(ioctl(exclusive.device, TIOCEXCL), 0);
    // Denied: no rights at all (owned by root's group, or the runner's own
    // group when it is not root), and rights for the group only.
    std::string no_rights = folder.path + "/no-rights";
    std::string group_only = folder.path + "/group-only";
    gid_t tty = getgrnam("tty") ? getgrnam("tty")->gr_gid : getgid();
    for (const std::string& file : {no_rights, group_only}) {
        FILE* created = std::fopen(file.c_str(), "wb");
        ASSERT_NE(created, nullptr) << file;
        std::fclose(created);
    }
    ASSERT_EQ(chmod(no_rights.c_str(), 0), 0);
    ASSERT_EQ(chown(group_only.c_str(), getuid(), getuid() == 0 ? tty : getgid()), 0);
    ASSERT_EQ(chmod(group_only.c_str(), 0060), 0);
    struct stat status {};
    ASSERT_EQ(stat(no_rights.c_str(), &status), 0);
    // Root's group is never worth joining: the usual owner of ports instead.
    std::string no_rights_group = status.st_gid == 0 ? "dialout" : group_name(status.st_gid);
    ASSERT_EQ(stat(group_only.c_str(), &status), 0);
    std::string group = group_name(status.st_gid);
    ASSERT_FALSE(group.empty());
    auto denied = [](const std::string& group) {
        return "Permission denied (add your user to the group that owns the device, e.g. \"sudo "
               "usermod -aG " +
               group + " $USER\", then log in again)";
    };
    const std::string in_use = "the port is in use by another program";
    // Held through UUCP lock files of this process, as minicom writes them:
    // named after the path below /dev ("LCK..pts_N"), or after a link.
    OpenPty minicom_path;
    OpenPty minicom_link;
    std::string link = folder.path + "/kelo-test-port-" + std::to_string(getpid());
    ASSERT_EQ(symlink(minicom_link.path.c_str(), link.c_str()), 0);
    std::string pts_name = minicom_path.path.substr(5);
    pts_name[pts_name.find('/')] = '_';
    LockFiles locks(
        {"/run/lock/LCK.." + pts_name, "/run/lock/LCK.." + link.substr(folder.path.size() + 1)});
    const std::string held = "the port is in use by process " + std::to_string(getpid());

    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string device;
        bool as_other_user;
        std::string reason;
    } cases[] = {
        {"missing", {}, folder.path + "/missing", false, "No such file or directory"},
        {"missing COM2", {"-2"}, "/nonexistent/tty", false, "No such file or directory"},
        {"blanks around", {"-3"}, " /nonexistent/tty\t ", false, "No such file or directory"},
        {"missing, terminal mode",
         {"-4", "-t"},
         "/nonexistent/tty",
         false,
         "No such file or directory"},
        {"not a terminal", {"-38"}, "/dev/null", false, "Inappropriate ioctl for device"},
        {"locked", {}, locked.path, false, in_use},
        {"locked, terminal mode", {"-t"}, locked.path, false, in_use},
        {"minicom's lock of the path given", {}, minicom_path.path, false, held},
        {"a lock named after a link", {"-2"}, link, true, held},
        {"exclusive", {}, exclusive.path, true, in_use},
        {"chmod 000", {}, no_rights, true, denied(no_rights_group)},
        {"group only", {"-19"}, group_only, true, denied(group)},
    };
    std::vector<std::string> other_user = unprivileged(folder.kelo);
    int skipped = 0;
    for (const Case& c : cases) {
        if (c.as_other_user && other_user.empty()) {
            ++skipped;
            continue;
        }
        std::vector<std::string> argv = c.as_other_user ? other_user : std::vector{folder.kelo};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        int port = 1;
        for (const std::string& arg : c.args)
            if (arg.size() == 2 && arg[1] >= '1' && arg[1] <= '4') port = arg[1] - '0';
        std::string com = "COM" + std::to_string(port);
        RunOptions options = ending_on("Cannot", {"KELO_" + com + "=" + c.device});
        options.cwd = folder.path;
        RunResult r = run_program(argv, options);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_TRUE(r.out.ends_with("\nCannot open " + com + ".\n")) << c.what << "\n" << r.out;
        std::string device = c.device.substr(0, c.device.find_last_not_of(" \t") + 1);
        device.erase(0, device.find_first_not_of(" \t"));
        EXPECT_EQ(r.err, "kelo: " + device + ": " + c.reason + "\n") << c.what;
    }
    if (skipped > 0) GTEST_SKIP() << skipped << " cases need a user without rights: no setpriv";
}

// --list reads a made-up /sys and /dev/serial (KELO_LIST_ROOT): a USB FTDI
// adapter with its by-id link and a UUCP lock on that link, a cdc_acm
// device, a UART of the 8250 driver, two of its placeholders (type 0, listed
// with --all only) and a virtual console (never).
TEST(Port, ListOfTheSerialPorts) {
    OpenFolder root;
    const std::string serial = "KT" + std::to_string(getpid());
    const std::string by_id = "usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0";
    // "path=text" a file, "path>target" a symbolic link, ';' between them;
    // U/ the USB bus, P/ the 8250 ports, S/ the serial core's drivers.
    std::string tree =
        "U/1-1/idVendor=0403;U/1-1/idProduct=6001;U/1-1/manufacturer=FTDI;U/1-1/serial=" + serial +
        ";U/1-1/product=FT232R USB UART;U/1-1/1-1:1.0/ttyUSB0/driver>../drivers/ftdi_sio;"
        "sys/class/tty/ttyUSB0/device>../../../../U/1-1/1-1:1.0/ttyUSB0;U/1-2/idVendor=2e8a;"
        "U/1-2/idProduct=000a;U/1-2/product=K940 port;U/1-2/1-2:1.0/driver>../drivers/cdc_acm;"
        "sys/class/tty/ttyACM0/device>../../../../U/1-2/1-2:1.0;sys/class/tty/tty1/dev=4:1;"
        "sys/devices/pnp0/00:04/driver>../drivers/serial;sys/class/tty/ttyS0/type=4;"
        "sys/devices/pnp0/00:04/00:04:0/00:04:0.0/driver>S/port;sys/class/tty/ttyS0/device>"
        "../../../devices/pnp0/00:04/00:04:0/00:04:0.0;sys/class/tty/ttyS10/type=0;"
        "sys/class/tty/ttyS10/device>../../../../P/serial8250:0.10;P/serial8250:0.10/x=;"
        "sys/class/tty/ttyS2/device>../../../../P/serial8250:0.2;sys/class/tty/ttyS2/type=0;"
        "P/serial8250:0.2/driver>S/port;P/driver>S/ctrl;P/../driver>../drivers/serial8250;"
        "dev/serial/by-id/" +
        by_id + ">../../ttyUSB0;";
    for (auto [from, to] : {std::pair{"U/", "sys/devices/pci0000:00/usb1/"},
                            {"P/", "sys/devices/platform/serial8250/serial8250:0/"},
                            {"S/", "../../bus/serial-base/drivers/"}})
        for (std::size_t at; (at = tree.find(from)) != std::string::npos;) tree.replace(at, 2, to);
    for (std::size_t at = 0, end; (end = tree.find(';', at)) != std::string::npos; at = end + 1) {
        std::string entry = tree.substr(at, end - at);
        std::size_t mark = entry.find_first_of("=>");
        std::filesystem::path path = root.path + "/" + entry.substr(0, mark);
        std::filesystem::create_directories(path.parent_path());
        if (entry[mark] == '>')
            std::filesystem::create_directory_symlink(entry.substr(mark + 1), path);
        else if (FILE* file = std::fopen(path.c_str(), "w"))
            std::fprintf(file, "%s\n", entry.substr(mark + 1).c_str()), std::fclose(file);
    }
    LockFiles lock({"/run/lock/LCK..serial_by-id_" + by_id});
    const std::string listed = "/dev/ttyACM0: cdc_acm, USB 2e8a:000a, K940 port\n"
                               "/dev/ttyS0: serial\n";
    const std::string usb0 =
        "/dev/ttyUSB0: ftdi_sio, USB 0403:6001, FTDI, FT232R USB UART, serial " + serial +
        ", /dev/serial/by-id/" + by_id + ", in use by process " + std::to_string(getpid()) + "\n";
    const std::string placeholders = "/dev/ttyS2: serial8250\n/dev/ttyS10: serial8250\n";
    RunOptions options;
    options.env = {"KELO_LIST_ROOT=" + root.path};
    options.timeout_s = 10;
    for (bool all : {false, true}) {
        RunResult r =
            kelo(all ? std::vector<std::string>{"-L", "--all"} : std::vector<std::string>{"--list"},
                 options);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, listed + (all ? placeholders : "") + usb0) << all;
        EXPECT_EQ(r.err, "");
    }
}

// A user who is not root: the probe closes and reopens the port for each
// rate (the instrument answers at 9600 only), and a second run opens it
// again: no exclusive flag outlives a close.
TEST(Port, AUserWhoIsNotRootReopensItAtEachRate) {
    OpenFolder folder;
    std::vector<std::string> command = unprivileged(folder.kelo);
    if (folder.kelo.empty() || command.empty()) GTEST_SKIP() << "cannot run kelo as another user";
    Sim sim("baud 9600\n");
    std::string device = std::filesystem::canonical(sim.link());
    ASSERT_EQ(chmod(device.c_str(), 0666), 0);
    command.push_back(make_image(folder.path, "app.s19", "--section app,records=3"));
    for (int run = 0; run < 2; ++run) {
        RunResult r = run_program(command, ending_on("Done.", {"KELO_COM1=" + device}));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Baud rate set to 9600 (N81)\n"), std::string::npos) << r.out;
    }
}

// A port another program left dirty (flow control, parity, two stop bits,
// seven bits, echo): kelo sets it up as the instrument needs it.
TEST(Port, ALineLeftDirtyIsSetUpClean) {
    Sim sim("dirty 1\n");
    RunResult r = kelo({make_image(sim.dir(), "app.s19", "--section app,records=3")},
                       ending_on("Done.", {sim.com1_env()}));
    EXPECT_EQ(r.status, 0) << r.out;
    std::string t = sim.transcript();
    // (A pseudo-terminal keeps 8 bits and no parity whatever it is asked.)
    EXPECT_NE(t.find(" settings cs8 cstopb crtscts ixon ixoff istrip icanon echo\n"),
              std::string::npos)
        << t;
    EXPECT_TRUE(t.substr(t.rfind(" settings ")).starts_with(" settings cs8\n")) << t;
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
    // The second kelo's failure left the first one's port exclusive.
    int exclusive = -1;
    int fd = ::open(sim.link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) ioctl(fd, TIOCGEXCL, &exclusive);
    if (fd >= 0) ::close(fd);
    terminal.join();
    EXPECT_NE(second.out.find("Cannot open COM1.\n"), std::string::npos) << second.out;
    EXPECT_EQ(second.err, "kelo: " + sim.link() + ": the port is in use by another program\n");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(first.status, 0) << first.out;
    if (getuid() == 0) {
        EXPECT_EQ(exclusive, 1) << "only root gets past the exclusive flag";
    }
}

// A port whose device goes away (a USB adapter pulled) ends the run in every
// mode and wait: one message, status 1, within a second, without using the
// processor meanwhile.
TEST(Port, LostLineEndsEveryModeAtOnce) {
    struct Case {
        const char* what;
        std::string scenario;
        std::vector<std::string> args; // "IMAGE", "BOOT" and "@SCRIPT" stand for the files
        std::string shown;      // in the output (standard output, then error): where it waited
        std::string typed = ""; // once terminal mode shows
    } cases[] = {
        {"probe", "line_lost_at query 1\n", {"-38", "IMAGE"}, "COM1...\n\nConnection lost"},
        {"awaiting a reply", "line_lost_at record 3\n", {"IMAGE"}, "%\nConnection lost"},
        {"programming dots",
         "programming_ms 3000\nline_lost_at programming\n",
         {"IMAGE"},
         "Programming..."},
        {"reboot hand-over",
         "ident K940,SN1,19990101\nline_lost_at reboot\n",
         {"BOOT"},
         "Rebooting target"},
        {"script silence", "script_reply\nline_lost_at message 2\n", {"@SCRIPT"}, ">A\n>B\n"},
        // The loss follows a line typed, not the simulator's start: kelo
        // may open the port late on a loaded machine.
        {"terminal", "line_lost_at message 1\n", {"-t"}, "MODE >>\n\nA\n\nConnection lost", "A\r"},
    };
    for (const Case& c : cases) {
        Sim sim(c.scenario);
        std::string image = make_image(sim.dir(), "app.s19", "--section app,records=6");
        std::string boot =
            make_image(sim.dir(), "boot.s19", "--section boot,records=2 --section app,records=2");
        std::string script = sim.dir() + "/script.txt";
        FILE* file = std::fopen(script.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("A\r\nB\r\nC\r\n", file);
        std::fclose(file);
        std::vector<std::string> args;
        for (const std::string& arg : c.args)
            args.push_back(arg == "IMAGE"     ? image
                           : arg == "BOOT"    ? boot
                           : arg == "@SCRIPT" ? "@" + script
                                              : arg);
        RunOptions options = ending_on("Connection lost", {sim.com1_env()});
        if (!c.typed.empty())
            options.keys.insert(options.keys.begin(), when_output("MODE >>\n", c.typed));
        RunResult r = kelo(args, options);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out;
        EXPECT_TRUE(r.out.ends_with("\nConnection lost on COM1.\n")) << c.what << "\n" << r.out;
        EXPECT_EQ(r.out.find("Done."), std::string::npos) << c.what;
        EXPECT_NE((r.out + r.err).find(c.shown), std::string::npos) << c.what << "\n" << r.out;
        ASSERT_GT(sim.lost_at(), 0) << c.what;
        std::printf("[ measured ] %s: ended %.3f s after the loss, %.3f s of CPU in all\n", c.what,
                    r.ended_at - sim.lost_at(), r.cpu_seconds);
        // A second to notice, then the closing pause that a key ends.
        EXPECT_LT(r.ended_at - sim.lost_at(), 2.0) << c.what;
        EXPECT_LT(r.cpu_seconds, 0.2) << c.what;
    }
}

// Inputs that never end and lines that never fall silent: each run ends as
// it should, in its time, without using the processor meanwhile. $K is kelo,
// $I a short image; standard input is /dev/null unless the row says.
TEST(Waits, EndlessAndSilentInputsEndInTime) {
    const struct {
        const char* what;
        std::string scenario, command, ending;
        int status;
        double most_s;      // wall time
        double least_s = 0; // and at least
    } cases[] = {
        {"endless keys", "", "$K -w $I </dev/zero", "\nDone.\n", 0, 5},
        {"noise that never ends the answer", "silent 1\nchatter_ms 1", "$K -38 $I",
         "\nInvalid responses detected on COM1.\n", 1, 2.3 + 2.7 + 4},
        {"no keyboard, a silent instrument", "hang_at record 3", "KELO_REPLY_TIMEOUT=2 $K $I",
         "\nNo reply from the instrument on COM1 for 2 s: the download ends.\n", 1, 2 + 4},
        {"terminal mode after the input ended", "chatter_ms 300", "$K -t", "", 0, 2},
        {"a named pipe for an image", "", "mkfifo $I.p; $K $I.p", "not a regular file\n", 1, 3.5},
        {"the closing pause", "silent 1", "$K -38 $I", "No response detected on COM1\n", 1, 3.6,
         2.4},
        {"the closing pause ended by a key", "silent 1", "(sleep 1; echo) | $K -38 $I",
         "No response detected on COM1\n", 1, 1.6},
    };
    for (const auto& c : cases) {
        Sim sim(c.scenario);
        std::string image = make_image(sim.dir(), "app.s19", "--section app,records=6");
        RunOptions options;
        options.env = {sim.com1_env(), "K=" + harness::kelo_path(), "I=" + image};
        options.timeout_s = 30;
        RunResult r = run_program({"/bin/bash", "-c", c.command}, options);
        EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
        EXPECT_TRUE((r.out + r.err).ends_with(c.ending)) << c.what << "\n" << r.out << r.err;
        std::printf("[ measured ] %s: %.2f s, %.3f s of CPU\n", c.what, r.seconds, r.cpu_seconds);
        EXPECT_LT(r.seconds, c.most_s) << c.what;
        EXPECT_GT(r.seconds, c.least_s) << c.what;
        EXPECT_LT(r.cpu_seconds, 0.3) << c.what;
    }
}

// kelo -t on a pseudo-terminal, run the way a shell runs a job: in a process
// group of its own in the terminal's foreground, its parent (the "shell")
// in the same session reporting each change of kelo's state.
class TerminalJob {
  public:
    explicit TerminalJob(const Sim& sim) {
        int reports[2];
        if (pipe2(reports, O_CLOEXEC) != 0) return;
        shell_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (shell_ == 0) run_shell(sim, reports[1]);
        close(reports[1]);
        reports_ = reports[0];
        if (shell_ < 0) return;
        fcntl(master_, F_SETFL, O_NONBLOCK);
        if (!read_report(&before, sizeof before) || !read_report(&kelo, sizeof kelo)) kelo = -1;
    }
    ~TerminalJob() {
        if (kelo > 0 && !ended_) kill(kelo, SIGKILL);
        if (shell_ > 0) waitpid(shell_, nullptr, 0);
        if (master_ >= 0) close(master_);
        if (reports_ >= 0) close(reports_);
    }
    TerminalJob(const TerminalJob&) = delete;
    TerminalJob& operator=(const TerminalJob&) = delete;

    pid_t kelo = -1;
    termios before{}; // the terminal's settings before kelo ran

    termios settings() const {
        termios now{};
        tcgetattr(master_, &now);
        return now;
    }
    void type(const std::string& keys) const {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    bool wait_output(const std::string& text, double timeout_s = 5) {
        for (double until = now_seconds() + timeout_s; now_seconds() < until;) {
            harness::drain(master_, seen_);
            if (seen_.find(text) != std::string::npos) return true;
            usleep(10 * 1000);
        }
        return false;
    }
    // kelo's next change of state as waitpid reports it; -1 when none came.
    int next_status() {
        int status = -1;
        if (!read_report(&status, sizeof status)) return -1;
        ended_ = WIFEXITED(status) || WIFSIGNALED(status);
        return status;
    }

  private:
    [[noreturn]] static void run_shell(const Sim& sim, int report) {
        termios before{};
        tcgetattr(STDIN_FILENO, &before);
        pid_t kelo = fork();
        if (kelo == 0) {
            setpgid(0, 0);
            signal(SIGTTOU, SIG_IGN);
            tcsetpgrp(STDIN_FILENO, getpid());
            for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTOU, SIGHUP, SIGTERM})
                signal(sig, SIG_DFL);
            rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            setenv("KELO_COM1", sim.link().c_str(), 1);
            execl(harness::kelo_path().c_str(), "kelo", "-t", static_cast<char*>(nullptr));
            _exit(127);
        }
        setpgid(kelo, kelo);
        if (write(report, &before, sizeof before) < 0 || write(report, &kelo, sizeof kelo) < 0)
            _exit(1);
        for (;;) {
            int status = 0;
            pid_t changed = waitpid(kelo, &status, WUNTRACED | WCONTINUED);
            if (changed < 0 && errno == EINTR) continue;
            if (changed != kelo || write(report, &status, sizeof status) < 0) _exit(1);
            if (WIFEXITED(status) || WIFSIGNALED(status)) _exit(0);
        }
    }
    bool read_report(void* into, size_t size) {
        pollfd ready{reports_, POLLIN, 0};
        return poll(&ready, 1, 5000) == 1 &&
               read(reports_, into, size) == static_cast<ssize_t>(size);
    }

    pid_t shell_ = -1;
    int master_ = -1;
    int reports_ = -1;
    bool ended_ = false;
    std::string seen_;
};

// Every setting kelo may change, for comparing and showing.
std::string settings_text(const termios& t) {
    std::string text = std::to_string(t.c_iflag) + ":" + std::to_string(t.c_oflag) + ":" +
                       std::to_string(t.c_cflag) + ":" + std::to_string(t.c_lflag);
    for (cc_t c : t.c_cc) text += ":" + std::to_string(c);
    return text;
}

// kelo puts a terminal on standard input into non-canonical, no-echo mode
// for the run and gives it back on every way out, signals included.
class ConsoleModes : public ::testing::TestWithParam<int> {};

TEST_P(ConsoleModes, TerminalIsRestoredAfterTheSignal) {
    Sim sim;
    {
        TerminalJob job(sim);
        ASSERT_GT(job.kelo, 0);
        ASSERT_TRUE(job.wait_output("TERMINAL MODE"));
        EXPECT_EQ(job.settings().c_lflag & (ICANON | ECHO), 0u);
        kill(job.kelo, GetParam());
        int status = job.next_status();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << status;
        EXPECT_EQ(settings_text(job.settings()), settings_text(job.before));
    }
    // The port was given back too: another run can open it at once.
    RunResult r = kelo({"-38"}, ending_on("(E1)\n", {sim.com1_env()}));
    EXPECT_NE(r.out.find("Baud rate set to 38400"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Signals, ConsoleModes,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1));

// Ctrl-Z (SIGTSTP): the shell has its terminal as it was while kelo stands;
// kelo takes it again when continued.
TEST(ConsoleStop, TerminalIsTheShellsWhileStopped) {
    Sim sim;
    TerminalJob job(sim);
    ASSERT_GT(job.kelo, 0);
    ASSERT_TRUE(job.wait_output("TERMINAL MODE"));
    termios during = job.settings();
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);

    kill(job.kelo, SIGTSTP);
    int status = job.next_status();
    ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTSTP) << status;
    EXPECT_EQ(settings_text(job.settings()), settings_text(job.before));

    kill(job.kelo, SIGCONT);
    status = job.next_status();
    EXPECT_TRUE(WIFCONTINUED(status)) << status;
    for (double until = now_seconds() + 2; now_seconds() < until;) {
        if (settings_text(job.settings()) == settings_text(during)) break;
        usleep(10 * 1000);
    }
    EXPECT_EQ(settings_text(job.settings()), settings_text(during));

    job.type("\x1b");
    status = job.next_status();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(settings_text(job.settings()), settings_text(job.before));
}

} // namespace
