// Pieces of the download engine that depend on nothing but their arguments,
// kept apart so that they can be tested on their own.
#pragma once

#include <cstdint>
#include <ctime>

// Dots of a Programming phase: one a second for the first dots of a
// download, then one every two seconds.
constexpr int32_t fast_dot_count = 15;

// The address shown by the progress line: the hexadecimal digits from the
// record's 4th character through at most its 12th, in 32 bits (in an S3
// record the byte count's second digit drops out, leaving the address).
// previous when the 4th character is no hexadecimal digit.
uint32_t record_offset(const char* record, uint32_t previous);

// 100 * bytes_sent / image_length truncated, at most 99; computed in 64 bits
// so that any image size gives the right figure. 0 when image_length is not
// positive.
int32_t progress_percent(int32_t bytes_sent, int32_t image_length);

// Prints the instrument's versions as the download shows them first: the
// "S/W Version" line for an instrument that reports only its own version,
// else the "Boot", "Appl" and "Dsp" lines of the versions that are not 0.
void print_version_lines(int32_t instrument, int32_t appl, int32_t dsp);

// 1 when the next Programming dot is due at wall-clock second now.
int dot_due(std::time_t now, std::time_t last_dot_time, int32_t dot_count);

// Milliseconds to wait before the next Programming dot can be due, given the
// wall clock in milliseconds (now_ms): at least 1 and at most 1000. The
// whole-second clock may tick a little after the fine one, so a dot that the
// fine clock says is due is looked for again after 1 ms.
uint32_t dot_wait_ms(int64_t now_ms, std::time_t last_dot_time, int32_t dot_count);

// How long the loop may sleep through the rest of a reply of which received
// bytes are in, at baud, given the shortest reply judged so far (its bytes,
// line end included; 0 before the first): the rest of such a reply but its
// last byte, never longer than the earliest a reply of three characters and
// its LF could end plus 900 us. So the next record leaves at most 1 ms after
// the reply's LF, whatever the reply's length. 0: no sleep.
uint32_t reply_rest_us(int32_t received, int32_t shortest_reply, int32_t baud);
