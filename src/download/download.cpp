// Download loop: sends an image one record at a time, stop-and-wait, with
// re-sends of refused records, the progress display and the Programming wait.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "download/download.h"
#include "download/download_internal.h"
#include "image/image.h"
#include "platform/keys.h"
#include "platform/platform.h"
#include "record/update_record.h"
#include "serial/serial_link.h"
#include "shared/shared.h"

namespace {

constexpr int refusals_to_give_up = 5;
constexpr uint32_t pause_after_programming_ms = 556;
// A pass that waits for a reply sleeps at most this long at a time; serial
// input and keys end the sleep at once.
constexpr uint32_t idle_reply_wait_ms = 1000;
// The first record after a wait (the probe, the reboot, the pause after
// programming) leaves once the line has been quiet this long, and at the
// latest after settle_most_ms: the instrument may still be finishing what it
// had to say then (a line behind its identification answer, a sign-on
// banner, a status line after programming). That answers no record, and is
// dropped rather than taken for the reply to the record that follows.
constexpr uint32_t settle_quiet_ms = 100;
constexpr uint32_t settle_most_ms = 1000;
// Bytes dropped at most in one go: a line that never stops talking cannot
// hold the download.
constexpr int32_t drop_limit = 10000;

// Where the record in record_line stands: sent and awaiting its reply;
// answered, so the next record is due; refused, so it is due again.
enum SendState { send_awaiting_reply, send_next_record, send_record_again };

// What a pass of the loop did: something, nothing (the loop may sleep until
// input comes), or ended the download.
enum PassResult { pass_busy, pass_idle, pass_end };

// record_line: up to 99 characters of the image, CR LF appended here, the CR
// that send_line appends, and the NUL.
constexpr int record_line_size = image_line_size + 3;

struct Download {
    const char* image_path;
    FILE* image_file;
    char record_line[record_line_size];
    int32_t record_length; // text and CR LF, without send_line's CR
    SendState send_state;
    int32_t bytes_sent;
    int32_t programming;
    int32_t reply_index;
    // Bytes received since the record went out, and how many the shortest
    // judged reply took, its line end included.
    int32_t reply_bytes;
    int32_t shortest_reply;
    // 1 when the next record follows a wait (the start, the reboot, the
    // pause after programming): the line must settle before it goes out.
    // Right behind a reply, what the read that brought the reply took with
    // it is all there is to drop.
    int32_t after_wait;
    uint32_t sent_at; // clock_ms() when the record went out
    int32_t reject_count;
    int32_t send_count;
    int32_t dot_count;
    std::time_t last_dot_time;
    uint32_t progress_offset;
    int32_t sections_recorded; // headers met that the update record knows of
    // The last complete reply refused the record that is out again: esc now
    // ends the run with that refusal as its error code.
    int32_t refused;
    char refusal[reply_line_size];
};

Download download;

void reset_download(const char* path, FILE* file) {
    download = Download{};
    download.image_path = path;
    download.image_file = file;
    download.send_state = send_next_record;
    download.after_wait = 1;
}

void show_dot_if_due() {
    if (!dot_due(std::time(nullptr), download.last_dot_time, download.dot_count)) return;
    download.last_dot_time = std::time(nullptr);
    std::printf(".");
    ++download.dot_count;
}

void show_progress(int after_refusal) {
    download.progress_offset = record_offset(download.record_line, download.progress_offset);
    if (after_refusal) std::printf("\n");
    std::printf("\r     Downloading (Offset %lx) %d %%",
                static_cast<unsigned long>(download.progress_offset),
                static_cast<int>(progress_percent(download.bytes_sent, image_length)));
}

PassResult end_download(int32_t outcome) {
    std::fclose(download.image_file);
    download.image_file = nullptr;
    if (outcome != run_ok) fail_run(outcome);
    return pass_end;
}

// Drops what comes until the line has been quiet for settle_quiet_ms, for
// at most settle_most_ms: 0, or receive_lost when the device went away.
int32_t settle_line() {
    const uint32_t give_up = clock_ms() + settle_most_ms;
    uint32_t quiet_until = clock_ms() + settle_quiet_ms;
    for (;;) {
        int32_t dropped = drop_unjudged_input(drop_all);
        if (dropped == receive_lost || port_lost()) return receive_lost;
        if (dropped > 0) quiet_until = clock_ms() + settle_quiet_ms;
        uint32_t left = ms_until(quiet_until);
        if (ms_until(give_up) < left) left = ms_until(give_up);
        if (left == 0) return 0;
        port_wait(left);
    }
}

// A record goes out only on a quiet line: what came in since the last reply
// was judged, or since the refusal of the record that goes out again, is no
// reply to it, and is dropped first. Text that answers no record changes
// nothing: an instrument may say more than its replies (a prompt, a status
// line, a banner).
PassResult drop_before_sending() {
    if (download.after_wait && settle_line() == receive_lost) return end_download(run_port_lost);
    int32_t dropped = drop_unjudged_input(download.after_wait ? drop_all : drop_read_ahead);
    if (dropped == receive_lost) return end_download(run_port_lost);
    download.reply_index = 0;
    return pass_busy;
}

// The instrument programs a section on its S7 record: that one goes out only
// while the file is still the one check_image accepted.
PassResult check_file_unchanged() {
    if (image_unchanged(download.image_file)) return pass_busy;
    std::printf("\nThe download file changed during the download: %s\n", download.image_path);
    return end_download(run_file_changed);
}

PassResult send_record() {
    if (download.record_line[1] == '7' && check_file_unchanged() == pass_end) return pass_end;
    if (drop_before_sending() == pass_end) return pass_end;
    // send_line appended a CR in place last time; a re-send must go out as
    // exactly the bytes of the first transmission.
    download.record_line[download.record_length] = '\0';
    send_line(download.record_line);
    record_transmission(download.send_state == send_record_again);
    download.sent_at = clock_ms();
    download.after_wait = 0;
    if (opt_show_records) std::printf(">%s", download.record_line);
    ++download.send_count;
    if (download.record_line[1] == '7') {
        if (download.send_state == send_next_record) std::printf("\b\b\b\b100 %%");
        std::printf("\n     Programming..");
        download.programming = 1;
        reboot_pending = 1;
    } else if (download.send_state == send_record_again || download.send_count % 16 == 2) {
        show_progress(download.send_state == send_record_again);
    }
    download.send_state = send_awaiting_reply;
    download.reply_index = 0;
    download.reply_bytes = 0;
    return pass_busy;
}

// The reader has no further line. Only a whole image is a success: one that
// could not be read to its end, or that ends inside a section being sent
// before the section's S7 record went out, has not updated the instrument.
PassResult end_of_image() {
    if (std::ferror(download.image_file)) {
        std::printf("\nCannot read the download file: %s\n", download.image_path);
        return end_download(run_file_error);
    }
    int unclosed = unclosed_section();
    if (section_mode != 0 && unclosed != 0) {
        std::printf("\n");
        report_unclosed_section(unclosed);
        return end_download(run_file_error);
    }
    return end_download(run_ok);
}

PassResult end_on_esc() {
    std::printf("\nDownload terminated via <esc> key\n");
    esc_ended = 1;
    if (!download.refused) return end_download(run_failed);
    std::memcpy(reply_line, download.refusal, sizeof reply_line);
    return end_download(run_refused);
}

// The next record of the image, once the last one was accepted.
PassResult take_next_record() {
    if (reboot_pending && section_mode == 'B') {
        int handover = reboot_handover();
        if (handover == handover_terminate) return end_download(run_failed);
        if (handover == handover_port_lost) return end_download(run_port_lost);
        download.after_wait = 1;
    }
    int length = read_image_line(download.record_line, image_line_size, download.image_file);
    int32_t kind = 0;
    int32_t version = 0;
    int32_t met = sections_met(&kind, &version);
    if (met != download.sections_recorded) {
        download.sections_recorded = met;
        record_section(kind, version, section_mode);
    }
    if (length == 0) return end_of_image();
    if (section_mode == 0) return pass_busy; // a section that is not sent
    if (download.programming) {
        download.programming = 0;
        std::printf("\n");
        pause_ms(pause_after_programming_ms);
        download.after_wait = 1;
    }
    download.reject_count = 0;
    download.bytes_sent += length;
    strip_line_end(download.record_line);
    if (download.record_line[0] == '\0') return pass_busy; // an empty line is not sent
    std::strcat(download.record_line, "\r\n");
    download.record_length = static_cast<int32_t>(std::strlen(download.record_line));
    return send_record();
}

// What the send state asks for now: the next record, the refused one again,
// or nothing while a reply is awaited.
PassResult send_what_is_due() {
    switch (download.send_state) {
    case send_next_record:
        return take_next_record();
    case send_record_again:
        return send_record();
    default:
        return pass_idle;
    }
}

// A reply line of three characters or more is complete.
PassResult judge_reply() {
    // A line that answers no record (nothing is out) is never judged: taken
    // as a refusal it would send whatever record_line holds. It is dropped.
    if (download.send_state == send_next_record) {
        download.reply_index = 0;
        return send_what_is_due();
    }
    if (download.shortest_reply == 0 || download.reply_bytes < download.shortest_reply)
        download.shortest_reply = download.reply_bytes;
    if (reply_line[2] == '0') {
        download.send_state = send_next_record;
        download.reply_index = 0;
        download.refused = 0;
        return take_next_record();
    }
    download.refused = 1;
    std::memcpy(download.refusal, reply_line, sizeof download.refusal);
    if (++download.reject_count >= refusals_to_give_up) return end_download(run_refused);
    download.send_state = send_record_again;
    return send_record();
}

void store_reply_char(int c) {
    if (download.reply_index == 0) {
        if (opt_show_records) std::printf("<");
        std::memset(reply_line, 0, sizeof reply_line);
    }
    if (download.reply_index < reply_line_max)
        reply_line[download.reply_index++] = static_cast<char>(c);
    if (opt_show_records) std::printf("%c", c);
}

// Milliseconds the reply to the record that is out may still take before
// the download gives up; -1 when there is no limit (none is set, or the time
// is up but a keyboard can end the wait with esc).
int32_t reply_time_left() {
    if (download.send_state != send_awaiting_reply || reply_timeout_s <= 0) return -1;
    uint32_t left = ms_until(download.sent_at + 1000u * static_cast<uint32_t>(reply_timeout_s));
    if (left == 0 && !keyboard_ended()) return -1;
    return static_cast<int32_t>(left);
}

PassResult run_pass() {
    if (reply_time_left() == 0) {
        std::printf("\nNo reply from the instrument on COM%d for %ld s: the download ends.\n",
                    port_index + 1, static_cast<long>(reply_timeout_s));
        return end_download(run_silent);
    }
    // Other keys, two-code keys included, are dropped.
    if (take_keys_until_esc() == keys_esc) return end_on_esc();
    if (download.programming) show_dot_if_due();
    int c = receive_byte();
    if (c == receive_lost) return end_download(run_port_lost);
    if (c >= 0) ++download.reply_bytes;
    if (c >= 32 && c <= 126) {
        store_reply_char(c);
        return pass_busy;
    }
    if (c == '\n') {
        if (opt_show_records) std::printf("\n");
        if (download.reply_index >= 3) return judge_reply();
    }
    PassResult result = send_what_is_due();
    // A byte was taken, so more may be waiting: no sleep yet.
    return result == pass_idle && c >= 0 ? pass_busy : result;
}

// How long a pass that found nothing to do may sleep: up to the time the
// next dot may be due while programming, or the reply's time is up, else
// until input comes.
uint32_t idle_timeout() {
    uint32_t timeout = idle_reply_wait_ms;
    if (download.programming)
        timeout = dot_wait_ms(wall_clock_ms(), download.last_dot_time, download.dot_count);
    int32_t left = reply_time_left();
    return left >= 0 && static_cast<uint32_t>(left) < timeout ? static_cast<uint32_t>(left)
                                                              : timeout;
}

// Part of a reply is in, and the line brings the rest no faster than a byte
// in the time of 10 bits: the loop sleeps through the rest instead of waking
// for every byte.
uint32_t rest_of_reply_us() {
    if (download.send_state != send_awaiting_reply) return 0;
    return reply_rest_us(download.reply_bytes, download.shortest_reply, baud_rate);
}

} // namespace

int32_t drop_unjudged_input(int what) {
    int32_t dropped = 0;
    while (dropped < drop_limit) {
        int c = what == drop_all ? receive_byte() : receive_read_ahead_byte();
        if (c == receive_lost) return receive_lost;
        if (c < 0) break;
        ++dropped;
    }
    return dropped;
}

void run_download(const char* image_path) {
    print_version_lines(instrument_version, appl_version, dsp_version);
    FILE* file = open_for_reading(image_path);
    if (!file) return report_file_failure("Cannot open the download file: %s\n", image_path, errno);
    if (image_offset > 0) std::fseek(file, image_offset, SEEK_SET);
    reset_download(image_path, file);
    // Replaced or rewritten since the check: none of it goes out.
    if (check_file_unchanged() == pass_end) return;
    for (;;) {
        PassResult result = run_pass();
        if (result == pass_end) return;
        if (result != pass_idle) continue;
        uint32_t rest_us = rest_of_reply_us();
        if (rest_us > 0) pause_us(rest_us);
        idle_wait(idle_timeout());
    }
}

uint32_t record_offset(const char* record, uint32_t previous) {
    // A record shorter than four characters has no offset to show.
    for (int i = 0; i < 3; ++i)
        if (record[i] == '\0') return previous;
    uint32_t value = 0;
    int digits = 0;
    for (int i = 3; i < 12 && record[i] != '\0'; ++i) {
        char c = record[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else
            break;
        value = (value << 4) | digit;
        ++digits;
    }
    return digits > 0 ? value : previous;
}

int32_t progress_percent(int32_t bytes_sent, int32_t image_length) {
    if (image_length <= 0) return 0;
    int64_t percent = int64_t{100} * bytes_sent / image_length;
    return percent > 99 ? 99 : static_cast<int32_t>(percent);
}

void print_version_lines(int32_t instrument, int32_t appl, int32_t dsp) {
    if (instrument != 0 && appl == 0 && dsp == 0) {
        std::printf("S/W Version (instrument): %ld\n", static_cast<long>(instrument));
        return;
    }
    if (instrument != 0)
        std::printf("Boot Version (instrument): %ld\n", static_cast<long>(instrument));
    if (appl != 0) std::printf("Appl Version (instrument): %ld\n", static_cast<long>(appl));
    if (dsp != 0) std::printf("Dsp Version (instrument):  %ld\n", static_cast<long>(dsp));
}

int dot_due(std::time_t now, std::time_t last_dot_time, int32_t dot_count) {
    std::time_t interval = dot_count < fast_dot_count ? 1 : 2;
    return now - last_dot_time >= interval;
}

uint32_t reply_rest_us(int32_t received, int32_t shortest_reply, int32_t baud) {
    constexpr int32_t shortest_judged = 4; // three characters and the LF
    constexpr int64_t lateness_us = 900;
    if (received <= 0 || baud <= 0) return 0;
    auto wire_us = [baud](int64_t bytes) { return bytes * 10000000 / baud; };
    int64_t sleep = wire_us(shortest_reply - received - 1);
    // The LF may be the next byte, or the 4th of the reply: no sleep may
    // outlast its arrival by more than lateness_us.
    int64_t earliest_end = wire_us(received < shortest_judged ? shortest_judged - received : 1);
    if (sleep > earliest_end + lateness_us) sleep = earliest_end + lateness_us;
    return sleep > 0 ? static_cast<uint32_t>(sleep) : 0;
}

uint32_t dot_wait_ms(int64_t now_ms, std::time_t last_dot_time, int32_t dot_count) {
    std::time_t interval = dot_count < fast_dot_count ? 1 : 2;
    int64_t left = (static_cast<int64_t>(last_dot_time) + interval) * 1000 - now_ms;
    if (left <= 0) return 1;
    return left >= 1000 ? 1000 : static_cast<uint32_t>(left) + 1;
}
