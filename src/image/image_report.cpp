// The image report (kelo -i): what an image holds and whether the download
// would take it, without a port.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "image/record_window.h"
#include "platform/platform.h"
#include "record/update_record.h"
#include "shared/shared.h"

namespace {

struct SectionFigures {
    int32_t kind;
    int32_t version;
    uint32_t first_address;
    uint32_t last_address;
    int32_t data_records;
    int32_t records;
    int64_t data_bytes;
    int32_t closed;
    int32_t bad;
};

constexpr int most_sections = 16;

struct Report {
    SectionFigures sections[most_sections];
    int32_t count;
    int32_t more; // sections beyond most_sections
    int32_t records;
    int64_t wire_bytes; // text, CR, LF, CR of every record
};

int hex_pair(const char* at) {
    int value = 0;
    for (int i = 0; i < 2; ++i) {
        char c = at[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

// Address bytes of an S-record type: S1 2, S2 3, S3 4 (and S0, S5, S9 2,
// S6, S8 3, S7 4).
int address_bytes(char type) {
    if (type == '3' || type == '7') return 4;
    return type == '2' || type == '6' || type == '8' ? 3 : 2;
}

// 1 when the record's byte count and checksum match its contents. text is
// the line without its end.
int record_sound(const char* text, int length) {
    if (length < 4 || text[0] != 'S' || length % 2 != 0) return 0;
    int count = hex_pair(text + 2);
    if (count < 0 || count != (length - 4) / 2) return 0;
    unsigned sum = static_cast<unsigned>(count);
    for (int i = 4; i < length; i += 2) {
        int byte = hex_pair(text + i);
        if (byte < 0) return 0;
        sum += static_cast<unsigned>(byte);
    }
    return (sum & 0xFF) == 0xFF;
}

void take_record(SectionFigures& section, const char* text, int length) {
    ++section.records;
    if (!record_sound(text, length)) ++section.bad;
    if (text[0] != 'S') return;
    if (text[1] == '7') section.closed = 1;
    if (text[1] < '1' || text[1] > '3') return;
    int digits = 2 * address_bytes(text[1]);
    uint32_t address = read_hex_field(text, 4, digits);
    // The range the section covers, whatever the order of its records (boot
    // code ends with its record at address 0).
    if (section.data_records++ == 0 || address < section.first_address)
        section.first_address = address;
    if (address > section.last_address) section.last_address = address;
    int data = (length - 4 - digits - 2) / 2;
    if (data > 0) section.data_bytes += data;
}

void read_image(FILE* file, Report& report) {
    RecordWindow window{};
    char line[image_line_size];
    SectionHeader header;
    int length;
    while ((length = next_line(window, line, image_line_size, file, &header)) > 0) {
        if (header.kind != no_header) {
            if (report.count < most_sections) {
                SectionFigures& section = report.sections[report.count++];
                section = SectionFigures{};
                section.kind = header.kind;
                section.version = header.version;
            } else {
                ++report.more;
            }
        }
        strip_line_end(line);
        int text = static_cast<int>(std::strlen(line));
        if (text == 0) continue;
        ++report.records;
        report.wire_bytes += text + 3;
        if (report.count > 0 && report.more == 0)
            take_record(report.sections[report.count - 1], line, text);
    }
}

void print_wire_time(int64_t bytes) {
    std::printf("  on the wire (the records, without the replies):");
    static constexpr int64_t rates[] = {38400, 19200, 9600};
    for (int64_t baud : rates) {
        int64_t seconds = (bytes * 10 + baud - 1) / baud;
        std::printf(" %lld min %02lld s at %lld baud%s", static_cast<long long>(seconds / 60),
                    static_cast<long long>(seconds % 60), static_cast<long long>(baud),
                    baud == 9600 ? "\n" : ",");
    }
}

void print_report(const Report& report) {
    for (int32_t i = 0; i < report.count; ++i) {
        const SectionFigures& s = report.sections[i];
        std::printf(
            "  section %d: %s v%ld, %ld records (%ld with data, %lld data bytes), "
            "addresses %lx to %lx, closed by S7: %s, %ld with a wrong byte count or checksum\n",
            static_cast<int>(i + 1), section_kind_name(s.kind), static_cast<long>(s.version),
            static_cast<long>(s.records), static_cast<long>(s.data_records),
            static_cast<long long>(s.data_bytes), static_cast<unsigned long>(s.first_address),
            static_cast<unsigned long>(s.last_address), s.closed ? "yes" : "no",
            static_cast<long>(s.bad));
    }
    if (report.more > 0) std::printf("  and %ld sections more\n", static_cast<long>(report.more));
    std::printf("  image: %ld records\n", static_cast<long>(report.records));
    print_wire_time(report.wire_bytes);
}

} // namespace

// A device named as the download file would be read as an image for ever
// (a terminal program's user names the port that way): refused before the
// port is opened, with the way to name the port. So is any other download
// file that is not a regular file (a folder, a named pipe): it cannot be
// checked, then read again. A script is read once and may be a pipe.
int refuse_unusable_file(const char* name) {
    int script = name[0] == '@';
    struct stat status {};
    if (stat(name + script, &status) != 0 || S_ISREG(status.st_mode)) return 0;
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
        std::fprintf(stderr,
                     "kelo: %s is a device, not a download file; name the port with --port %s\n",
                     name + script, name + script);
    } else if (script) {
        return 0;
    } else {
        std::printf("Cannot open the download file: %s\n", name);
        if (S_ISDIR(status.st_mode))
            std::fprintf(stderr, "kelo: %s: a folder, not a regular file\n", name);
        else
            std::fprintf(stderr, "kelo: %s: a pipe or socket, not a regular file\n", name);
    }
    fail_run(run_file_error);
    return -1;
}

int image_report(const char* path) {
    std::printf("Image report: %s\n", path);
    if (path[0] == '@') {
        std::printf("  a script file (named with @): -i reports on images only\n");
        return 1;
    }
    if (refuse_unusable_file(path) != 0) return 1;
    struct stat status {};
    FILE* file = stat(path, &status) == 0 ? open_for_reading(path) : nullptr;
    if (file == nullptr) {
        report_file_failure("Cannot open the download file: %s\n", path, errno);
        return 1;
    }
    int64_t size = static_cast<int64_t>(status.st_size);
    std::printf("  file: %lld bytes; the image from offset %ld: %lld bytes\n",
                static_cast<long long>(size), static_cast<long>(image_offset),
                static_cast<long long>(size - image_offset));
    static Report report;
    report = Report{};
    int script = 0;
    if (image_offset <= 0 || std::fseek(file, image_offset, SEEK_SET) == 0) {
        script = std::fgetc(file) == '@';
        std::fseek(file, image_offset > 0 ? image_offset : 0, SEEK_SET);
        read_image(file, report);
    }
    std::fclose(file);
    if (script) {
        std::printf("  a script (its first line begins with @), no image\n");
        return 1;
    }
    print_report(report);
    // The download's own check, as for an instrument that takes every
    // section (its version unknown here): its message when it refuses.
    std::printf("  check: ");
    int accepted = check_image(path) == 0;
    if (accepted) std::printf("the download takes this image\n");
    return accepted ? 0 : 1;
}
