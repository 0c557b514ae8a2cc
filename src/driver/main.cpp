// kelo: loads new firmware into a K940 instrument over a serial line, and
// serves service work on the same line (scripts, terminal).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "download/download.h"
#include "driver/driver.h"
#include "image/image.h"
#include "instrument/probe.h"
#include "platform/platform.h"
#include "record/update_record.h"
#include "script/script.h"
#include "serial/serial_link.h"
#include "terminal/terminal.h"

namespace {

constexpr char box_edge[] =
    "**********************************************************************\n";
constexpr char box_blank[] =
    "*                                                                    *\n";
constexpr char box_maker[] =
    "*             Kelo Instruments                    2002               *\n";
static_assert(sizeof(box_edge) == 72 && sizeof(box_blank) == 72 && sizeof(box_maker) == 72,
              "every box line is 70 characters wide");

void print_banner() {
    std::fputs(box_edge, stdout);
    std::fputs(box_blank, stdout);
    std::printf("*             K940 Serial Download Utility        %s               *\n",
                kelo_version);
    std::fputs(box_blank, stdout);
    std::fputs(box_maker, stdout);
    std::fputs(box_blank, stdout);
    std::fputs(box_edge, stdout);
    std::fputs("\n", stdout);
}

void print_usage() {
    std::printf("Kelo  -38/-19/-96 -1/-2/-3/-4 -r -s -t  [kelo_filename/@script_filename]  %s\n",
                kelo_version);
    std::fputs("38400, N 8 1\n"
               "-1  select com1 (default)\n"
               "-2  select com2\n"
               "-3  select com3\n"
               "-4  select com4\n"
               "-r  send cntrl-r after each message\n"
               "-s  display serial records\n"
               "-t  terminal interface\n"
               "-w  send regardless of version\n",
               stdout);
}

// Everything a user can type and set, for "-h" and "--help" ("-?" keeps the
// old tool's ten lines). %s: the platform's example port.
constexpr char help_text[] =
    "Usage: kelo [OPTION]... [IMAGE | @SCRIPT]\n"
    "Loads IMAGE (Motorola S-records) into a K940 instrument over a serial port;\n"
    "without IMAGE, the image appended to this program file. @SCRIPT plays a\n"
    "service script instead.\n"
    "\n"
    "  -1, -2, -3, -4   the port: COM1 (the default) to COM4\n"
    "  --port DEVICE    the device of that port (also --port=DEVICE):\n"
    "                     kelo --port %s firmware.s19\n"
    "  -L, --list       the serial ports of this computer, then the end (--all:\n"
    "                   also those with no device behind them):  kelo --list\n"
    "  -38, -19, -96    the rate: 38400, 19200 or 9600 baud (default: the three\n"
    "  -b RATE          in that order):  kelo -19 firmware.s19, kelo -b 9600 ...\n"
    "  -r, -R           control-R after each message:  kelo -r @service.txt\n"
    "  -s, -S           show the records and the replies:  kelo -s firmware.s19\n"
    "  -w, -W           send the boot code whatever the instrument's version\n"
    "  -t, -T           terminal mode:  kelo -2 -t\n"
    "  -i, -I           report on the image, open no port:  kelo -i firmware.s19\n"
    "  -V, --version    the version:  kelo -V\n"
    "  -?               the short usage text;  -h, --help: this text\n"
    "\n"
    "Environment:\n"
    "  KELO_COM1..KELO_COM4  the device of COM1 to COM4:  KELO_COM2=%s kelo -2\n"
    "  KELO_LOG=FILE         append a line of JSON on each run that opened a port\n"
    "  KELO_REPLY_TIMEOUT=S  seconds a reply may take when no key can come\n"
    "                        (default 600; 0: no limit)\n"
    "\n"
    "Exit status: 0 done, 1 failed; on POSIX 128 + the signal that ended the run.\n"
    "See kelo(1).\n";

// The run's last words: "\nDone.\n" or what went wrong.
void print_final_status() {
    if (run_outcome == run_ok)
        std::printf("\nDone.\n");
    else if (run_outcome == run_refused)
        std::printf("\nError Code (%s)\n", reply_line);
    else if (run_outcome == run_port_lost)
        std::printf("\nConnection lost on COM%d.\n", port_index + 1);
}

[[noreturn]] void run_terminal() {
    if (baud_rate == 0) baud_rate = 38400;
    if (open_port(port_index + 1, static_cast<uint32_t>(baud_rate)) != 0) {
        std::printf("Cannot open COM%d.\n", port_index + 1);
        close_port();
        pause_and_exit(1, 1);
    }
    record_port_opened();
    terminal_mode();
    close_port();
    if (run_outcome == run_ok) pause_and_exit(0, 0);
    print_final_status();
    pause_and_exit(1, 1);
}

void report_no_answer(const char* silent_format) {
    fail_run(reply_seen ? run_invalid_response : run_no_response);
    if (reply_seen)
        std::printf("Invalid responses detected on COM%d.\n", port_index + 1);
    else
        std::printf(silent_format, port_index + 1);
    pause_and_exit(1, 1);
}

// Finds the rate at which the instrument answers; the port stays open at it.
// 0 when it answered; -1 when the port went away meanwhile (run_port_lost).
int establish_communication() {
    std::printf("Establishing communication on COM%d...\n", port_index + 1);
    int result = probe_no_answer;
    if (baud_rate != 0) {
        result = probe_instrument(static_cast<uint32_t>(baud_rate));
        if (result == probe_no_answer) report_no_answer("No response detected on COM%d\n");
    } else {
        static const int32_t rates[] = {38400, 19200, 9600};
        for (int32_t rate : rates) {
            baud_rate = rate;
            result = probe_instrument(static_cast<uint32_t>(rate));
            if (result != probe_no_answer) break;
        }
        if (result == probe_no_answer) report_no_answer("No response detected on COM%d.\n");
    }
    if (result == probe_port_lost) {
        fail_run(run_port_lost);
        return -1;
    }
    // The probe said why (the port cannot be opened, no K940 answered).
    if (result != probe_answered) {
        fail_run(run_failed);
        pause_and_exit(1, 1);
    }
    std::printf("Baud rate set to %u (N81)\n", static_cast<unsigned>(baud_rate));
    return 0;
}

// A name of a port's form that is not there (an adapter not plugged in) is
// no download file either: refused before any port is opened.
int refuse_port_name(const char* name) {
    int script = name[0] == '@';
    struct stat status {};
    if (stat(name + script, &status) == 0 || !names_a_port(name + script)) return 0;
    std::fprintf(stderr,
                 "kelo: %s names a port, not a download file; name the port with --port %s\n",
                 name + script, name + script);
    return -1;
}

// KELO_REPLY_TIMEOUT: the seconds a reply may take when no key can end the
// wait; 0 waits for ever. Any other value is named, and the default kept.
void read_reply_timeout() {
    constexpr long longest_s = 7L * 24 * 3600;
    const char* value = std::getenv("KELO_REPLY_TIMEOUT");
    if (value == nullptr || value[0] == '\0') return;
    // Blanks around the number are no part of it, as around KELO_COMn's.
    char* end = nullptr;
    long seconds = std::strtol(value, &end, 10);
    int number = end != value;
    while (*end == ' ' || *end == '\t') ++end;
    if (!number || *end != '\0' || seconds < 0 || seconds > longest_s) {
        std::fprintf(stderr, "kelo: KELO_REPLY_TIMEOUT=%s is not 0 to %ld seconds; %ld are used\n",
                     value, longest_s, static_cast<long>(reply_timeout_s));
        return;
    }
    reply_timeout_s = static_cast<int32_t>(seconds);
}

} // namespace

int main(int argc, char** argv) {
    // No screen saver or sleep during the run; pause_and_exit gives that up.
    keep_display_on(1);
    console_start();

    // Options, left to right; what was not read is named before anything
    // else shows.
    const char* download_name = nullptr;
    int action = parse_options(argc, argv, &download_name);
    if (action == options_version) {
        std::printf("kelo %s (%s)\n", kelo_version, platform_name);
        pause_and_exit(0, 0);
    }

    if (action == options_refused) pause_and_exit(0, 1);
    if (action == options_help) {
        std::printf(help_text, platform_example_port, platform_example_port);
        pause_and_exit(0, 0);
    }
    if (opt_list) pause_and_exit(0, (list_ports(opt_list_all), 0));
    if (opt_report && action == options_terminal) {
        std::fputs("kelo: -i reports on an image without a port; -t is not taken with it\n",
                   stderr);
        pause_and_exit(0, 1);
    }
    if (opt_report && action == options_run) {
        if (download_name == argv[0]) download_name = own_program_file(argv[0]);
        pause_and_exit(0, image_report(download_name));
    }

    print_banner();

    // The usage options and "-t" act at once.
    if (action == options_usage) {
        print_usage();
        pause_and_exit(0, 0);
    }
    if (action == options_terminal) {
        if (record_start("terminal", nullptr) != 0) pause_and_exit(1, 1);
        run_terminal();
    }

    // The download file: the program's own, or the one named (a regular file).
    if (download_name == argv[0])
        download_name = own_program_file(argv[0]);
    else if (refuse_port_name(download_name) != 0 || refuse_unusable_file(download_name) != 0)
        pause_and_exit(1, 1);
    read_reply_timeout();
    int script = download_name[0] == '@';
    if (record_start(script ? "script" : "download", download_name + script) != 0)
        pause_and_exit(1, 1);

    if (establish_communication() == 0) {
        record_identified(1);
        if (script) {
            play_script(download_name + 1, nullptr);
        } else {
            int checked = check_image(download_name);
            if (checked == 1) record_mode("script");
            if (checked == 0) {
                record_image(download_name);
                run_download(download_name);
            }
        }
    }
    close_port();

    print_final_status();
    pause_and_exit(1, run_outcome == run_ok ? 0 : 1);
}
