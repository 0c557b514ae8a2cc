// The update record, one JSON line a run. The line is kept ready as the run
// goes on (everything but its duration, outcome and status), so that a
// signal handler only has to put the end behind it and write it.
#include "record/update_record.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "record/sha256.h"
#include "serial/serial_link.h"
#include "shared/shared.h"

namespace {

constexpr int most_sections = 16;
// Each text has its room in the line (escapes and quotes counted), so that
// the line always fits whole: a longer text is cut, at a character, and
// ends with "\u2026" (an escape no byte of a text is written as). The
// instrument's answer (748 characters) always fits whole. The room of the
// texts with the rest of the line (at most about 2,900 characters: the
// fields, the numbers and 16 sections) stays below line_size.
constexpr int line_size = 16384;
constexpr int host_room = 400;
constexpr int device_room = 1600;
constexpr int answer_room = 6 * reply_line_max + 10;
constexpr int file_room = 4000;
constexpr int refusal_room = 1600;
static_assert(host_room + device_room + answer_room + file_room + refusal_room + 3000 < line_size,
              "every line fits");

struct Section {
    int32_t kind;
    int32_t version;
    int32_t mode;
    int32_t records;
    int32_t resends;
};

struct Record {
    intptr_t log = -1;
    const char* log_path = nullptr;
    const char* mode = nullptr;
    const char* file = nullptr;
    char started[80] = {};
    uint32_t started_ms = 0;
    char host[64] = {};
    int32_t port_opened = 0;
    int32_t port_number = 0;
    char device[260] = {};
    int32_t identified = 0; // 1: a K940's answer; 2: an answer not taken as one
    char answer[reply_line_size] = {};
    int32_t hashed = 0;
    int64_t hashed_bytes = 0;
    char sha256[65] = {};
    Section sections[most_sections] = {};
    int32_t section_count = 0;
    int32_t sections_more = 0; // met beyond most_sections
};

Record record;

// The line without its end, twice: the one the signal path may write while
// the other is being made.
char prepared[2][line_size];
int32_t prepared_length[2];
volatile sig_atomic_t ready = 0;
volatile sig_atomic_t written = 0;

// Writes into a fixed line; what does not fit is left out, never beyond.
struct Line {
    char* text;
    int32_t size;
    int32_t length;

    void put(const char* s) {
        while (*s != '\0' && length < size) text[length++] = *s++;
    }
    void put_number(int64_t value) {
        char digits[24];
        int n = 0;
        uint64_t magnitude =
            value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do digits[n++] = static_cast<char>('0' + magnitude % 10);
        while ((magnitude /= 10) != 0);
        if (value < 0) digits[n++] = '-';
        while (n > 0 && length < size) text[length++] = digits[--n];
    }
    // A JSON string of at most room characters, quotes included:
    // printable ASCII as it is, every other byte escaped (bytes above 127
    // as the characters of the same number). A text that does not fit is
    // cut before a byte that starts a UTF-8 character and marked.
    void put_string(const char* s, int room = 100) {
        static constexpr char hex[] = "0123456789abcdef";
        static constexpr char cut_mark[] = "\\u2026\"";
        int32_t limit = length + room - static_cast<int32_t>(sizeof cut_mark);
        put("\"");
        int32_t cut_at = length;
        int following = 0; // continuation bytes since cut_at (a character has at most 3)
        for (; *s != '\0'; ++s) {
            unsigned char c = static_cast<unsigned char>(*s);
            if ((c & 0xC0) != 0x80 || ++following > 3) {
                cut_at = length;
                following = 0;
            }
            char escaped[7] = {'\\', static_cast<char>(c), 0};
            if (c >= 32 && c < 127 && c != '"' && c != '\\') {
                escaped[0] = static_cast<char>(c);
                escaped[1] = 0;
            } else if (c < 32 || c >= 127) {
                const char ux[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15], 0};
                std::memcpy(escaped, ux, sizeof ux);
            }
            if (length + static_cast<int32_t>(std::strlen(escaped)) > limit) {
                length = cut_at;
                return put(cut_mark);
            }
            put(escaped);
        }
        put("\"");
    }
    void field(const char* name) {
        put(",\"");
        put(name);
        put("\":");
    }
};

} // namespace

const char* section_kind_name(int32_t kind) {
    switch (kind) {
    case 'B':
        return "boot";
    case 'A':
        return "application";
    case 'D':
        return "dsp";
    default:
        return "unknown"; // an address of no kind (E5): never sent
    }
}

namespace {

const char* outcome_name(int status) {
    switch (run_outcome) {
    case run_ok:
        return esc_ended ? "esc" : "done";
    case run_refused:
        return "refused";
    case run_port_lost:
        return "port_lost";
    case run_file_changed:
        return "file_changed";
    case run_silent:
        return "no_reply";
    case run_file_error:
        return "file_error";
    case run_no_response:
        return "no_response";
    case run_invalid_response:
        return "invalid_response";
    case run_invalid_device:
        return "invalid_device";
    default:
        return esc_ended ? "esc" : status == 0 ? "done" : "failed";
    }
}

void put_sections(Line& line) {
    line.field("sections");
    line.put("[");
    for (int32_t i = 0; i < record.section_count; ++i) {
        const Section& s = record.sections[i];
        line.put(i == 0 ? "{\"kind\":" : ",{\"kind\":");
        line.put_string(section_kind_name(s.kind));
        line.field("version");
        line.put_number(s.version);
        line.field("sent");
        line.put(s.mode != 0 ? "true" : "false");
        if (s.mode == 0) {
            line.field("why");
            line.put_string(s.kind == 0 ? "unknown address" : "not newer");
        }
        line.field("records");
        line.put_number(s.records);
        line.field("resends");
        line.put_number(s.resends);
        line.put("}");
    }
    line.put("]");
    if (record.sections_more > 0) {
        line.field("sections_more");
        line.put_number(record.sections_more);
    }
}

// Makes the line anew but its end, into the buffer the signal path does
// not use, and hands it over.
void prepare() {
    int next = 1 - ready;
    Line line{prepared[next], line_size, 0};
    line.put("{\"time\":");
    line.put_string(record.started);
    line.field("kelo");
    line.put_string(kelo_version);
    line.field("host");
    line.put_string(record.host, host_room);
    line.field("mode");
    line.put_string(record.mode);
    line.field("port");
    char port[8];
    std::snprintf(port, sizeof port, "COM%d", static_cast<int>(record.port_number));
    line.put_string(port);
    line.field("device");
    line.put_string(record.device, device_room);
    line.field("baud");
    line.put_number(baud_rate);
    line.field("instrument");
    if (record.identified) {
        line.put("{\"answer\":");
        line.put_string(record.answer, answer_room);
        const int32_t versions[] = {instrument_version, appl_version, dsp_version};
        const char* const names[] = {"boot", "application", "dsp"};
        for (int i = 0; i < 3; ++i) {
            line.field(names[i]);
            if (record.identified == 1)
                line.put_number(versions[i]);
            else
                line.put("null");
        }
        line.put("}");
    } else {
        line.put("null");
    }
    if (record.file != nullptr && std::strcmp(record.mode, "script") == 0) {
        line.field("script");
        line.put_string(record.file, file_room);
    } else if (record.file != nullptr) {
        line.field("image");
        line.put("{\"file\":");
        line.put_string(record.file, file_room);
        if (record.hashed) {
            line.field("size");
            line.put_number(record.hashed_bytes);
            line.field("offset");
            line.put_number(image_offset);
            line.field("sha256");
            line.put_string(record.sha256);
        }
        line.put("}");
    }
    if (std::strcmp(record.mode, "download") == 0) put_sections(line);
    prepared_length[next] = line.length;
    ready = next;
}

// The end of the line: duration, outcome (refusal), status. Only what a
// signal handler may do.
void put_end(Line& line, const char* outcome, int status) {
    uint32_t ms = clock_ms() - record.started_ms;
    line.field("seconds");
    line.put_number(ms / 1000);
    char fraction[5] = {'.', static_cast<char>('0' + ms / 100 % 10),
                        static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10), 0};
    line.put(fraction);
    line.field("outcome");
    line.put_string(outcome);
    if (run_outcome == run_refused && std::strcmp(outcome, "refused") == 0) {
        line.field("refusal");
        line.put_string(reply_line, refusal_room);
    }
    line.field("status");
    line.put_number(status);
    line.put("}\n");
}

// Writes the ready line with its end: once, from the run's end or a signal.
// out[0] is the line end that goes first when the file's last line is
// broken.
int write_record(const char* outcome, int status, char* reason, int size) {
    if (record.log < 0 || !record.port_opened || written) return 0;
    written = 1;
    static char out[1 + line_size + 256];
    int which = ready;
    out[0] = '\n';
    std::memcpy(out + 1, prepared[which], static_cast<size_t>(prepared_length[which]));
    Line line{out, sizeof out, 1 + prepared_length[which]};
    put_end(line, outcome, status);
    return append_line(record.log, out, line.length, reason, size);
}

void write_interrupted(int status) {
    write_record("interrupted", status, nullptr, 0);
}

} // namespace

// Days since 1970-01-01 to the proleptic Gregorian calendar, by eras of
// 400 years (146097 days) that start on 1 March, so that the leap day is
// the last day of its year.
void utc_text(int64_t seconds, char* out, int size) {
    int64_t days = seconds / 86400;
    int64_t second_of_day = seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        --days;
    }
    days += 719468; // 0000-03-01 to 1970-01-01
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_from_march = (5 * day_of_year + 2) / 153;
    int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    int64_t year = year_of_era + era * 400 + (month <= 2);
    std::snprintf(out, static_cast<size_t>(size), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(second_of_day / 3600),
                  static_cast<long long>(second_of_day / 60 % 60),
                  static_cast<long long>(second_of_day % 60));
}

int record_start(const char* mode, const char* file) {
    record.mode = mode;
    record.file = file;
    record.started_ms = clock_ms();
    utc_text(static_cast<int64_t>(std::time(nullptr)), record.started,
             static_cast<int>(sizeof record.started));
    host_name(record.host, sizeof record.host);
    record.log_path = std::getenv("KELO_LOG");
    if (record.log_path == nullptr || record.log_path[0] == '\0') return 0;
    char reason[256];
    record.log = open_for_appending(record.log_path, reason, sizeof reason);
    if (record.log < 0) {
        std::printf("Cannot open the update record: %s\n", record.log_path);
        std::fprintf(stderr, "kelo: %s: %s\n", record.log_path, reason);
        fail_run(run_file_error);
        return -1;
    }
    prepare();
    on_abrupt_end(write_interrupted);
    return 0;
}

void record_mode(const char* mode) {
    record.mode = mode;
    if (record.log >= 0) prepare();
}

void record_port_opened() {
    record.port_opened = 1;
    record.port_number = port_index + 1;
    std::snprintf(record.device, sizeof record.device, "%s", port_device());
    if (record.log >= 0) prepare();
}

void record_identified(int taken) {
    record.identified = taken ? 1 : 2;
    std::memcpy(record.answer, reply_line, sizeof record.answer);
    if (record.log >= 0) prepare();
}

void record_image(const char* path) {
    if (record.log < 0) return;
    FILE* file = open_for_reading(path);
    if (file == nullptr) return;
    record.hashed = sha256_of_file(file, image_offset > 0 ? image_offset : 0, record.sha256,
                                   &record.hashed_bytes) == 0;
    std::fclose(file);
    prepare();
}

void record_section(int32_t kind, int32_t version, int32_t mode) {
    if (record.section_count == most_sections) {
        ++record.sections_more;
    } else {
        record.sections[record.section_count++] = Section{kind, version, mode, 0, 0};
    }
    if (record.log >= 0) prepare();
}

void record_transmission(int resend) {
    if (record.section_count == 0 || record.sections_more > 0) return;
    Section& section = record.sections[record.section_count - 1];
    ++(resend ? section.resends : section.records);
    if (record.log >= 0) prepare();
}

void record_end(int status) {
    char reason[256];
    if (write_record(outcome_name(status), status, reason, sizeof reason) != 0)
        std::fprintf(stderr, "kelo: the update record could not be written to %s: %s\n",
                     record.log_path, reason);
}
