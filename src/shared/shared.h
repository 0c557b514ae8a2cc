// What every part of kelo shares: the process-wide state, the run's outcome
// and the few helpers that go with them. Nothing here knows the parts.
//
// Every value here has one instance for the whole process and starts at 0
// unless stated. The parts read and write them directly; the comments name
// who writes what.
#pragma once

#include <cstdint>

#ifndef KELO_PROGRAM_SIZE
#define KELO_PROGRAM_SIZE 69632
#endif

// Length of the program file before an appended image: the start value of
// image_offset. The build pads the program file to exactly this length.
constexpr int32_t program_file_size = KELO_PROGRAM_SIZE;

// Options, set by the command line (left to right, later ones win).
extern int32_t baud_rate;        // 0 = probe 38400, 19200, 9600; else the rate in use
extern int32_t port_index;       // 0..3: COM(port_index + 1)
extern int32_t opt_ctrl_r;       // -r: control-R after each message (script, terminal)
extern int32_t opt_show_records; // -s: show records and replies
extern int32_t opt_force;        // -w: send boot code regardless of version
extern int32_t opt_report;       // -i: report on the image, no port

// Where the image text starts in the download file: program_file_size at start,
// 0 once a file is named. image_length = file size - image_offset (set by the
// image check; the denominator of the download percentage).
extern int32_t image_offset;
extern int32_t image_length;

// The instrument's last reply line: at most 748 characters and a NUL.
// Written by the probe, used as the image check's line buffer, written by the
// download loop. A third character '0' marks a positive reply.
constexpr int reply_line_size = 750;
constexpr int reply_line_max = 748;
extern char reply_line[reply_line_size];

extern int32_t reply_seen;         // 1 once any byte answered a probe; never cleared
extern int32_t instrument_version; // from the identification answer
extern int32_t appl_version;
extern int32_t dsp_version;

// Mode of the current image section: 'B' boot, 'A' application, 'D' DSP,
// 0 = section not sent (or none met). Set by the record reader.
extern int32_t section_mode;

// 1 between sending an S7 record and the next request for an image line.
extern int32_t reboot_pending;

// Seconds a record's reply may take while no key can come (standard input
// has ended, or there is no console) before the download gives up; 0 waits
// for ever. KELO_REPLY_TIMEOUT sets it; with a keyboard, esc ends the wait.
constexpr int32_t default_reply_timeout_s = 600;
extern int32_t reply_timeout_s;

// Outcome of the run, reported into by the modes and read by the driver for
// the final message and the exit status. It starts as run_ok; a mode that
// fails calls fail_run() with the reason (the first failure reported wins).
enum RunOutcome : int32_t {
    run_ok = 0,        // did what was asked: "\nDone.\n", exit status 0
    run_failed = 1,    // failed after its own message: nothing more printed, status 1
    run_refused = 2,   // the last reply refused the record sent (the fifth
                       // refusal, or esc after a refusal):
                       // "\nError Code (%s)\n" with reply_line, status 1
    run_port_lost = 3, // the port's device went away:
                       // "\nConnection lost on COM%d.\n", status 1
    // After their own message, status 1, as run_failed:
    run_file_changed = 4,     // the download file changed while it was sent
    run_silent = 6,           // no reply within reply_timeout_s, and no keyboard to end the wait
    run_file_error = 7,       // the download file or script cannot be used or read
    run_no_response = 8,      // the probe: nothing answered
    run_invalid_response = 9, // the probe: something answered, no whole line in time
    run_invalid_device = 10,  // the probe: an answer without a version
};
extern int32_t run_outcome;
// 1 once esc ended the mode (a download, a script, terminal mode, the
// power-cycle prompt).
extern int32_t esc_ended;

// The program's version.
constexpr char kelo_version[] = "1.17";

void fail_run(int32_t outcome);

// A file that could not be used: format (its one %s the path) on standard
// output, the system's reason for error (an errno value) on standard error
// as "kelo: PATH: REASON", and the run fails.
void report_file_failure(const char* format, const char* path, int error);

// Removes every trailing CR and LF of text in place.
void strip_line_end(char* text);
