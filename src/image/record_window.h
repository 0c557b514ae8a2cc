// Internals of the record reader, open to its tests and its fuzz harness.
// The product reaches the reader only through image.h.
#pragma once

#include <cstdint>

#include "image/image.h"

// The reader's three-line look-ahead: the line handed out next and the two
// that follow it in the file, each as read (line end included, NUL-ended).
struct RecordWindow {
    char head[image_line_size];
    char middle[image_line_size];
    char newest[image_line_size];
    int32_t line_count;   // lines held and not yet handed out, 0..3
    int32_t at_end;       // 1 once the file gave no further line; never read again
    int32_t sections_met; // section headers recognised so far
    int32_t last_kind;    // of the last one: 'B', 'A', 'D' or 0
    int32_t last_version;
    int32_t section_unclosed; // 1 from a header until an S7 line is handed out
};

// What a section header opens, as the two records behind it tell: its kind
// ('B' boot, 'A' application, 'D' DSP, 0 an address of no kind) and version.
struct SectionHeader {
    int32_t kind;
    int32_t version;
};
constexpr int32_t no_header = -1;

// One step of the reader over window: hands out the next line into buffer and
// returns its length (0, buffer empty, once the image is exhausted). When the
// line is a section header the reader recognises, *header tells the
// section; else its kind is no_header. Prints nothing, sets nothing else.
int next_line(RecordWindow& window, char* buffer, int size, FILE* file, SectionHeader* header);

// The one window of the process: empty at start-up and never reset by the
// product (one image is read per run). Tests put it back to RecordWindow{}.
extern RecordWindow record_window;

// Reads up to count characters of line from position first as one hexadecimal
// number: leading white space is skipped, reading stops at the first other
// character that is not a hexadecimal digit, at the end of the field or at
// the line's NUL (never beyond it); no digit gives 0. The value is built in
// 32 bits, so only the last eight digits count.
uint32_t read_hex_field(const char* line, int first, int count);
