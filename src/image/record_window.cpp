// The record reader: a three-line look-ahead over the image that recognises
// each section's header before the header line is handed out.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "image/record_window.h"
#include "shared/shared.h"

RecordWindow record_window;

namespace {

// Where the section address and the versions stand in the records behind an
// S0 header (character positions from the record's "S").
constexpr int address_first = 3; // the byte count's second digit drops out of 32 bits
constexpr int address_digits = 9;
constexpr int boot_version_first = 12;     // data bytes 0..3
constexpr int app_version_first = 16;      // data bytes 2..5
constexpr int dsp_version_low_first = 56;  // data bytes 22, 23
constexpr int dsp_version_high_first = 60; // data bytes 24, 25
constexpr int version_digits = 8;

// A line that opens a section when two lines follow it.
bool is_header_line(const char* line) {
    return line[0] == 'S' && line[1] == '0';
}

// A line that closes a section: the download takes every line whose second
// character is 7 for an S7 record.
bool is_end_line(const char* line) {
    return line[0] != '\0' && line[1] == '7';
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The DSP version is stored as two 16-bit words, low word first: the high
// word's digits are read first. A word that is cut short by the line's end
// ends the field, as the NUL would.
int32_t dsp_version_of(const char* line) {
    char field[version_digits + 1] = {};
    const std::size_t length = std::strlen(line);
    int taken = 0;
    for (int first : {dsp_version_high_first, dsp_version_low_first}) {
        int at = first;
        while (at < first + 4 && static_cast<std::size_t>(at) < length) field[taken++] = line[at++];
        if (at < first + 4) break;
    }
    return static_cast<int32_t>(read_hex_field(field, 0, version_digits));
}

// head is an S0 line with two records behind it: the first record's address
// names the section's kind, and one of the two records carries its version.
SectionHeader read_section_header(const RecordWindow& window) {
    switch (read_hex_field(window.middle, address_first, address_digits)) {
    case 0x7FC:
    case 0x800:
        return {'B', static_cast<int32_t>(
                         read_hex_field(window.middle, boot_version_first, version_digits))};
    case 0x8000:
    case 0x40000:
        return {'A', static_cast<int32_t>(
                         read_hex_field(window.middle, app_version_first, version_digits))};
    case 0x20000:
    case 0x30000:
        return {'D', dsp_version_of(window.newest)};
    default:
        return {0, 0};
    }
}

// The section mode the header gives: boot code only when it is newer than the
// instrument's or forced; application and DSP code always; an unknown
// section never.
int32_t mode_of(const SectionHeader& header) {
    if (header.kind == 'B') return opt_force || header.version > instrument_version ? 'B' : 0;
    return header.kind;
}

void announce_section(const SectionHeader& header) {
    section_mode = mode_of(header);
    switch (header.kind) {
    case 'B':
        std::printf("\nBoot Code (v%ld)", static_cast<long>(header.version));
        std::printf(section_mode ? "\n" : "...skipping\n");
        break;
    case 'A':
        std::printf("\nApplication Code (v%ld)\n", static_cast<long>(header.version));
        break;
    case 'D':
        std::printf("\n\nDsp Code (v%ld)", static_cast<long>(header.version));
        break;
    default:
        // An unknown section is dropped; the download goes on with the next.
        std::printf("Invalid download file format (E5)\n");
        break;
    }
}

char* free_slot(RecordWindow& window) {
    switch (window.line_count) {
    case 0:
        return window.head;
    case 1:
        return window.middle;
    default:
        return window.newest;
    }
}

void fill(RecordWindow& window, char* buffer, int size, FILE* file) {
    while (!window.at_end && window.line_count < 3) {
        // A read error ends the image like the end of the file.
        if (std::fgets(buffer, size, file) == nullptr) {
            window.at_end = 1;
            break;
        }
        std::strcpy(free_slot(window), buffer);
        ++window.line_count;
    }
}

} // namespace

uint32_t read_hex_field(const char* line, int first, int count) {
    const std::size_t length = std::strlen(line);
    if (first < 0 || count <= 0 || static_cast<std::size_t>(first) >= length) return 0;
    const char* at = line + first;
    const char* end = line + std::min(length, static_cast<std::size_t>(first) + count);
    while (at < end && is_space(*at)) ++at;
    uint32_t value = 0;
    for (; at < end && hex_digit(*at) >= 0; ++at)
        value = (value << 4) | static_cast<uint32_t>(hex_digit(*at));
    return value;
}

int next_line(RecordWindow& window, char* buffer, int size, FILE* file, SectionHeader* header) {
    header->kind = no_header;
    // The slots hold 99 characters; a larger limit would overrun them.
    if (size > image_line_size) size = image_line_size;
    if (size >= 2) fill(window, buffer, size, file);
    if (window.line_count == 0 || size < 2) {
        if (size > 0) buffer[0] = '\0';
        return 0;
    }
    if (window.line_count == 3 && is_header_line(window.head))
        *header = read_section_header(window);
    std::strcpy(buffer, window.head);
    std::memcpy(window.head, window.middle, sizeof window.head);
    std::memcpy(window.middle, window.newest, sizeof window.middle);
    --window.line_count;
    return static_cast<int>(std::strlen(buffer));
}

int read_image_line(char* buffer, int size, FILE* file) {
    SectionHeader header;
    int length = next_line(record_window, buffer, size, file, &header);
    reboot_pending = 0;
    if (header.kind != no_header) {
        announce_section(header);
        ++record_window.sections_met;
        record_window.last_kind = header.kind;
        record_window.last_version = header.version;
        record_window.section_unclosed = 1;
    }
    if (is_end_line(buffer)) record_window.section_unclosed = 0;
    return length;
}

int32_t sections_met(int32_t* kind, int32_t* version) {
    *kind = record_window.last_kind;
    *version = record_window.last_version;
    return record_window.sections_met;
}

int unclosed_section() {
    return record_window.section_unclosed ? record_window.sections_met : 0;
}

int first_unclosed_section(FILE* file) {
    // The reader's own steps over a window of its own, silently: only a
    // section that the download will send counts.
    RecordWindow window{};
    char line[image_line_size];
    SectionHeader header;
    int sections = 0;
    int unclosed = 0;
    while (next_line(window, line, image_line_size, file, &header) > 0) {
        if (header.kind != no_header) {
            if (unclosed) return unclosed;
            ++sections;
            unclosed = mode_of(header) != 0 ? sections : 0;
        } else if (is_end_line(line)) {
            unclosed = 0;
        }
    }
    return std::ferror(file) ? -1 : unclosed;
}

void report_unclosed_section(int number) {
    std::printf("Invalid download file format (E6): section %d has no S7 end record\n", number);
}
