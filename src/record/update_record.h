// The update record: with KELO_LOG naming a file, every run that opened a
// port appends one line of JSON to it as it ends, however it ends: when it
// started and took, on which computer and port, the instrument's answer,
// the image (its SHA-256) or script, each section met and what became of
// it, and the outcome with the exit status. The line is written with one
// system write on a file opened for appending, so runs side by side that
// share the file never interleave.
#pragma once

#include <cstdint>

// The name of a section's kind ('B', 'A', 'D', 0), in the record and the
// image report: boot, application, dsp, unknown.
const char* section_kind_name(int32_t kind);

// Seconds since 1970 as ISO 8601 UTC ("2026-12-08T09:02:22Z"), computed
// here: the C library's gmtime reads the time zone file and allocates.
void utc_text(int64_t seconds, char* out, int size);

// Opens KELO_LOG for appending when it is set and not empty; mode is
// "download", "script" or "terminal", file the download file or script
// named (or null). 0, also without KELO_LOG; -1 when the file cannot be
// opened: reported, and the run must not go on without its record.
int record_start(const char* mode, const char* file);
// The run turned out to be of another mode (a download file that is a
// script).
void record_mode(const char* mode);
// The port is open: from now on the run leaves a record.
void record_port_opened();
// The probe had an answer in reply_line: taken 1 for a K940's (its
// versions are recorded), 0 for one that was not taken as a K940's (its
// versions null).
void record_identified(int taken);
// check_image accepted path: its image text from image_offset is hashed.
void record_image(const char* path);
// The record reader met a section: kind 'B', 'A', 'D' or 0 (an address of
// no kind), its version, and the mode it was given (0: not sent).
void record_section(int32_t kind, int32_t version, int32_t mode);
// A record of the last section met went out (resend 1: again).
void record_transmission(int resend);
// Writes the record once, with run_outcome and status; a write that fails
// is reported on standard error.
void record_end(int status);
