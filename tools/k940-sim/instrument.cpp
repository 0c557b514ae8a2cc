#include "instrument.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

namespace k940 {

namespace {

unsigned rate_of(speed_t speed) {
    static const std::pair<speed_t, unsigned> rates[] = {
        {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (auto [code, rate] : rates)
        if (code == speed) return rate;
    return 0;
}

std::string hex(const uint8_t* bytes, size_t count) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

// What a UART set to another rate makes of a character: framing garbage,
// never a line feed or a carriage return.
const char garble_pattern[] = {'\x00', '\xF8', '\x80', '\xFE'};

// Longest line kept; the rest of a longer one is dropped.
constexpr size_t max_line = 4096;

// How long before the last byte queued is due the paced loop stops sleeping.
constexpr int64_t last_byte_spin_ns = 100'000;

// Seconds on the monotonic clock, the one other processes compare with.
std::string monotonic_stamp() {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(us / 1'000'000),
                  static_cast<long long>(us % 1'000'000));
    return text;
}

bool strikes(const Moment& moment, When when, int number) {
    return moment.when == when && moment.number == number;
}

} // namespace

Instrument::Instrument(const Scenario& scenario, int master, int slave, Outputs outputs)
    : scenario(scenario), master(master), slave(slave), outputs(std::move(outputs)),
      started(Clock::now()) {}

int64_t Instrument::now_ns() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count();
}

void Instrument::note(const std::string& event) {
    if (outputs.transcript == nullptr) return;
    std::fprintf(outputs.transcript, "%lld %s\n", static_cast<long long>(now_ns() / 1'000'000),
                 event.c_str());
    // Tests read the transcript while the instrument runs.
    std::fflush(outputs.transcript);
}

void Instrument::say(const std::string& message) {
    std::printf("k940-sim: %s\n", message.c_str());
    std::fflush(stdout);
}

std::string Instrument::printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out;
}

// The rate the user of the slave end set last: a pty shares one termios
// between its two ends.
unsigned Instrument::line_rate() {
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) return 0;
    return rate_of(cfgetospeed(&settings));
}

void Instrument::check_rate() {
    unsigned rate = line_rate();
    if (rate != last_rate) {
        last_rate = rate;
        note("baud " + std::to_string(rate));
    }
    // What of the settings its user made would garble or stop the line.
    termios s{};
    if (tcgetattr(slave, &s) != 0) return;
    std::string settings = (s.c_cflag & CSIZE) == CS8 ? "settings cs8" : "settings not-cs8";
    const std::pair<bool, const char*> flags[] = {
        {(s.c_cflag & PARENB) != 0, " parenb"},   {(s.c_cflag & CSTOPB) != 0, " cstopb"},
        {(s.c_cflag & CRTSCTS) != 0, " crtscts"}, {(s.c_iflag & IXON) != 0, " ixon"},
        {(s.c_iflag & IXOFF) != 0, " ixoff"},     {(s.c_iflag & ISTRIP) != 0, " istrip"},
        {(s.c_lflag & ICANON) != 0, " icanon"},   {(s.c_lflag & ECHO) != 0, " echo"},
    };
    for (auto [set, name] : flags)
        if (set) settings += name;
    if (settings == last_settings) return;
    last_settings = settings;
    note(settings);
}

// Ten bits a byte: start, eight data, stop; to the nearest nanosecond.
int64_t Instrument::byte_ns() {
    int64_t rate = last_rate != 0 ? last_rate : 38400;
    return (10'000'000'000 + rate / 2) / rate;
}

void Instrument::start() {
    if (scenario.line_lost_at.when == When::ms)
        lose_due = int64_t{scenario.line_lost_at.number} * 1'000'000;
    if (scenario.hang_at.when == When::ms) hang_due = int64_t{scenario.hang_at.number} * 1'000'000;
    check_rate();
    event_ns = now_ns();
    if (scenario.chatter_ms > 0) at(scenario.chatter_ms, [this] { chatter_tick(); });
    if (!scenario.stale.empty()) {
        note("stale " + printable(scenario.stale));
        emit(scenario.stale, 0);
        flush_output();
    }
}

void Instrument::run(Requests& requests, const sigset_t& wait_mask) {
    while (!requests.stop && !lost) {
        if (requests.power_cycle) {
            requests.power_cycle = 0;
            power_cycle();
        }
        check_rate();
        int64_t next = run_due();
        if (lost) break;
        pollfd fd{master, static_cast<short>(POLLIN | (output_blocked ? POLLOUT : 0)), 0};
        timespec wait{};
        timespec* timeout = nullptr;
        if (next >= 0) {
            int64_t left = std::max<int64_t>(0, next - now_ns());
            // Paced, the last byte queued (the end of a reply, which the other
            // side waits for) is handed over at its moment: the loop sleeps
            // until shortly before it and polls the rest of the way, as a
            // wake-up comes some tens of microseconds late.
            if (scenario.pace && output.size() == 1 && output.front().first == next)
                left = std::max<int64_t>(0, left - last_byte_spin_ns);
            wait.tv_sec = left / 1'000'000'000;
            wait.tv_nsec = left % 1'000'000'000;
            timeout = &wait;
        }
        int ready = ppoll(&fd, 1, timeout, &wait_mask);
        if (ready <= 0) continue; // timed out, or a signal to look at
        if (fd.revents & POLLOUT) output_blocked = false;
        if (fd.revents & (POLLIN | POLLERR | POLLHUP)) read_line_input();
    }
}

void Instrument::finish() {
    save_memory();
    note("exit");
}

// Does everything that is due; returns when the next thing falls due (-1:
// nothing is waiting for a time).
int64_t Instrument::run_due() {
    for (;;) {
        if (lost) return -1;
        int64_t now = now_ns();
        if (lose_due >= 0 && lose_due <= now) {
            lose_due = -1;
            lose_line();
        } else if (hang_due >= 0 && hang_due <= now) {
            hang_due = -1;
            hang();
        } else if (!input.empty() && input.front().first <= now) {
            auto [arrival, byte] = input.front();
            input.pop_front();
            event_ns = arrival;
            handle_byte(byte);
        } else if (!timers.empty() && timers.begin()->first <= now) {
            event_ns = timers.begin()->first;
            auto action = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            action();
        } else {
            break;
        }
    }
    flush_output();
    int64_t next = -1;
    auto earlier = [&next](int64_t t) { next = next < 0 ? t : std::min(next, t); };
    if (lose_due >= 0) earlier(lose_due);
    if (hang_due >= 0) earlier(hang_due);
    if (!input.empty()) earlier(input.front().first);
    if (!timers.empty()) earlier(timers.begin()->first);
    if (!output.empty() && !output_blocked) earlier(output.front().first);
    return next;
}

void Instrument::read_line_input() {
    uint8_t buffer[4096];
    ssize_t count = read(master, buffer, sizeof buffer);
    if (count <= 0) return;
    check_rate();
    note("rx " + hex(buffer, static_cast<size_t>(count)));
    if (outputs.rx_log >= 0) {
        ssize_t done = 0;
        while (done < count) {
            ssize_t n = write(outputs.rx_log, buffer + done, static_cast<size_t>(count - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += n;
        }
    }
    int64_t now = now_ns();
    for (ssize_t i = 0; i < count; ++i) {
        int64_t arrival = now;
        // Paced, a byte has arrived only when its last bit has, and the bytes
        // written one after the other follow each other on the wire.
        if (scenario.pace) arrival = input_wire_free = std::max(now, input_wire_free) + byte_ns();
        input.emplace_back(arrival, buffer[i]);
    }
}

void Instrument::handle_byte(uint8_t byte) {
    if (byte == 14 || byte == 15 || byte == 18) {
        const char* state = rebooting ? " ignored (rebooting)" : hung ? " ignored (hung)" : "";
        note("ctrl " + std::to_string(byte) + state);
        if (byte == 18 && ack_pending && !rebooting && !hung) {
            ack_pending = false;
            if (!scenario.ack.empty()) {
                note("ack");
                reply(scenario.ack_delay_ms, scenario.ack);
            }
        }
        return;
    }
    if (byte == '\r' || byte == '\n') {
        if (!line.empty()) handle_line(line);
        line.clear();
        return;
    }
    if (line.size() < max_line) line += static_cast<char>(byte);
}

void Instrument::handle_line(const std::string& text) {
    note("line " + printable(text));
    ack_pending = false;
    bool query = text == "?";
    bool reboot = text == "$REBOOT2" || text == "$REBOOT";
    bool message = !query && !reboot && !looks_like_record(text);
    // These faults strike when the line arrives, whatever becomes of it.
    if (query && strike(When::query, ++queries_seen)) return;
    if (reboot && strike(When::reboot, ++reboots_seen)) return;
    if (message && strike(When::message, ++messages_seen)) return;
    if (hung) {
        note("ignored (hung)");
        return;
    }
    if (rebooting) {
        if (query && scenario.hold_queries) {
            ++held_queries;
            note("query held (rebooting)");
        } else {
            note("ignored (rebooting)");
        }
        return;
    }
    if (query && scenario.silent) {
        note("query unanswered (silent)");
        return;
    }
    if (line_rate() != scenario.baud) {
        note("not understood at " + std::to_string(line_rate()) + " baud");
        if (scenario.garble) {
            at(query ? scenario.answer_delay_ms : scenario.reply_delay_ms,
               [this] { answer_garbled(sizeof garble_pattern); });
        }
        return;
    }
    if (query) {
        handle_query();
    } else if (reboot) {
        start_reboot();
    } else if (message) {
        handle_message(text);
    } else {
        handle_record(text);
    }
}

void Instrument::handle_query() {
    ++queries;
    if (queries < answer_from) {
        note("query " + std::to_string(queries) + " unanswered");
        return;
    }
    note("query " + std::to_string(queries) + " answered");
    say("identification query answered at " + std::to_string(line_rate()) + " baud");
    std::string answer = scenario.ident + scenario.ident_end;
    int delay = scenario.answer_delay_ms + (restarted ? scenario.reboot_answer_delay_ms : 0);
    at(delay, [this, answer] { send_checked(answer, int64_t{scenario.char_gap_ms} * 1'000'000); });
}

void Instrument::handle_record(const std::string& text) {
    if (text != last_record) {
        ++record_number;
        last_record = text;
        planned_refusals = 0;
        if (strike(When::record, record_number)) return;
    }
    int planned = 0;
    for (const RefusePlan& plan : scenario.refuse_plan)
        if (plan.record == record_number) planned += plan.times;
    Record record;
    RecordCheck check = check_record(text, record);
    std::string verdict;
    if (check != RecordCheck::ok) {
        verdict = std::string("refused (") + check_name(check) + ")";
    } else if (planned_refusals < planned) {
        ++planned_refusals;
        verdict = "refused (planned " + std::to_string(planned_refusals) + " of " +
                  std::to_string(planned) + ")";
    }
    bool accepted = verdict.empty();
    note("record " + std::to_string(record_number) + " S" + text[1] + " " +
         (accepted ? std::string("accepted") : verdict));
    if (!accepted) say("record " + std::to_string(record_number) + " " + verdict);
    int delay = scenario.reply_delay_ms;
    if (text[1] == '7') delay += scenario.programming_ms;
    std::string answer = scenario.noise + (accepted ? scenario.accept : scenario.refuse) + "\r\n";
    if (record_number == scenario.reply_twice) answer += answer;
    reply(delay, answer + scenario.after_reply);
    if (accepted && text[1] == '7' && !scenario.status_line.empty() &&
        (scenario.status_s7 == 0 || scenario.status_s7 == s7_replies + 1))
        at(delay + scenario.status_ms, [this] { send_checked(scenario.status_line, 0); });
    if (accepted && text[1] == '7') ++s7_replies;
    if (accepted) accept_record(record);
    if (accepted && text[1] == '7' && !programmed) {
        // Half way through the programming, always before the reply leaves.
        programmed = true;
        int64_t halfway = event_ns + int64_t{scenario.programming_ms} * 500'000;
        if (strikes(scenario.line_lost_at, When::programming, 1)) lose_due = halfway;
        if (strikes(scenario.hang_at, When::programming, 1)) hang_due = halfway;
    }
}

void Instrument::accept_record(const Record& record) {
    ++section_records;
    switch (record.type) {
    case '0':
        memory.start_section();
        section_records = 1;
        note("section " + std::to_string(memory.section_count()));
        break;
    case '1':
    case '2':
    case '3':
        if (!memory.write(record.address, record.data))
            note("data beyond the memory limit dropped");
        break;
    case '7':
    case '8':
    case '9':
        say("section " + std::to_string(memory.section_count()) + " ended after " +
            std::to_string(section_records) + " records");
        save_memory();
        break;
    default:
        break;
    }
}

void Instrument::handle_message(const std::string& text) {
    bool read_command = text.size() >= 3 && strncasecmp(text.c_str(), "RD-", 3) == 0;
    const ReplyRule* rule = nullptr;
    for (const ReplyRule& candidate : scenario.reply_to) {
        if (text.starts_with(candidate.prefix)) {
            rule = &candidate;
            break;
        }
    }
    // A read command is answered by its acknowledgement; a rule may add text.
    std::string text_reply = rule ? rule->text : read_command ? "" : scenario.script_reply;
    note(std::string(read_command ? "read command" : "message") +
         (rule ? " (rule " + printable(rule->prefix) + ")" : ""));
    if (!text_reply.empty()) reply(scenario.reply_delay_ms, text_reply);
    ack_pending = read_command;
    if (scenario.trickle_ms > 0) {
        trickle_until = event_ns + int64_t{scenario.trickle_for_ms} * 1'000'000;
        if (!trickling) {
            trickling = true;
            at(scenario.trickle_ms, [this] { trickle_tick(); });
        }
    }
}

void Instrument::trickle_tick() {
    emit(scenario.trickle_byte, 0);
    if (event_ns + int64_t{scenario.trickle_ms} * 1'000'000 <= trickle_until) {
        at(scenario.trickle_ms, [this] { trickle_tick(); });
    } else {
        trickling = false;
    }
}

// A line that never falls silent (noise, a device of another kind): the
// text goes out every chatter_ms, at whatever rate the line is set to,
// until the instrument restarts or hangs.
void Instrument::chatter_tick() {
    emit(scenario.chatter, 0);
    at(scenario.chatter_ms, [this] { chatter_tick(); });
}

void Instrument::at(int delay_ms, std::function<void()> action) {
    if (hung) return;
    timers.emplace(event_ns + int64_t{delay_ms} * 1'000'000, std::move(action));
}

// Queues bytes behind those already queued, each gap_ns (or, paced, its wire
// time, whichever is longer) after the one before. Paced, a byte is handed
// over when its last bit has arrived, a wire time after it started.
void Instrument::emit(const std::string& bytes, int64_t gap_ns) {
    if (hung) return;
    int64_t when = std::max(event_ns, output_wire_free);
    int64_t step = scenario.pace ? std::max(gap_ns, byte_ns()) : gap_ns;
    int64_t on_wire = scenario.pace ? byte_ns() : 0;
    for (char byte : bytes) {
        output.emplace_back(when + on_wire, static_cast<uint8_t>(byte));
        when += step;
    }
    // The next text follows this one; unpaced and without a gap that is at once.
    output_wire_free = when;
}

// The rate is judged when the bytes leave: a port set to another rate since
// the line came in gets what a mismatched UART would make of the answer.
void Instrument::send_checked(const std::string& bytes, int64_t gap_ns) {
    if (line_rate() != scenario.baud) {
        note("answer garbled: line at " + std::to_string(line_rate()) + " baud");
        if (scenario.garble) answer_garbled(bytes.size());
        return;
    }
    emit(bytes, gap_ns);
}

void Instrument::reply(int delay_ms, const std::string& text) {
    if (!scenario.split) {
        at(delay_ms, [this, text] { send_checked(text, 0); });
        return;
    }
    size_t piece = static_cast<size_t>(scenario.split_bytes);
    for (size_t offset = 0, n = 0; offset < text.size(); offset += piece, ++n) {
        int when = delay_ms + static_cast<int>(n) * scenario.split_gap_ms;
        at(when, [this, part = text.substr(offset, piece)] { send_checked(part, 0); });
    }
}

void Instrument::answer_garbled(size_t length) {
    size_t count = std::clamp<size_t>(length, 1, sizeof garble_pattern);
    emit(std::string(garble_pattern, count), int64_t{scenario.char_gap_ms} * 1'000'000);
}

void Instrument::flush_output() {
    if (output_blocked) return;
    int64_t now = now_ns();
    uint8_t buffer[4096];
    size_t count = 0;
    for (auto it = output.begin(); it != output.end() && it->first <= now && count < sizeof buffer;
         ++it)
        buffer[count++] = it->second;
    if (count == 0) return;
    ssize_t written = write(master, buffer, count);
    if (written < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) output_blocked = true;
        return;
    }
    note("tx " + hex(buffer, static_cast<size_t>(written)));
    output.erase(output.begin(), output.begin() + written);
    if (static_cast<size_t>(written) < count) output_blocked = true;
}

void Instrument::start_reboot() {
    forget_pending();
    rebooting = true;
    note("reboot");
    say("rebooting" + (scenario.reboot_ms < 0
                           ? std::string(" until a power cycle (SIGUSR1)")
                           : " for " + std::to_string(scenario.reboot_ms) + " ms"));
    if (scenario.reboot_ms >= 0) at(scenario.reboot_ms, [this] { end_reboot(); });
}

void Instrument::end_reboot() {
    note("rebooted");
    say("back from the reboot");
    int held = held_queries;
    come_back();
    answer_from = scenario.reboot_answer_from;
    // The queries held while restarting are answered now, all at once.
    for (; held > 0; --held) handle_query();
}

void Instrument::power_cycle() {
    forget_pending();
    note("power-cycle");
    say("power cycled");
    come_back();
}

// Running again after a restart: the sign-on banner first.
void Instrument::come_back() {
    rebooting = false;
    restarted = true;
    held_queries = 0;
    queries = 0;
    answer_from = 1;
    line.clear();
    if (!scenario.banner.empty()) {
        note("banner");
        send_checked(scenario.banner, 0);
    }
}

// A restarting instrument drops what it was about to send.
void Instrument::forget_pending() {
    timers.clear();
    output.clear();
    output_wire_free = 0;
    trickling = false;
    ack_pending = false;
}

// Strikes the fault planned for the number-th event of its kind; true when
// one did and the line is to be left alone.
bool Instrument::strike(When when, int number) {
    if (strikes(scenario.line_lost_at, when, number)) {
        lose_line();
        return true;
    }
    if (!hung && strikes(scenario.hang_at, when, number)) {
        hang();
        return true;
    }
    return false;
}

// As a pulled USB adapter: both ends go at once, and whoever still holds the
// terminal open sees it hung up.
void Instrument::lose_line() {
    note("line lost (monotonic " + monotonic_stamp() + ")");
    close(master);
    close(slave);
    master = slave = -1;
    lost = true;
    say("line lost");
}

// Connected but silent for good: what was about to be sent is dropped and
// nothing more is; what arrives is still received and noted.
void Instrument::hang() {
    note("hang (monotonic " + monotonic_stamp() + ")");
    forget_pending();
    hung = true;
    say("hung: nothing more is sent");
}

void Instrument::save_memory() {
    if (outputs.memory_dir.empty() || memory.section_count() == 0) return;
    if (!memory.save(outputs.memory_dir)) note("memory files could not be written");
}

} // namespace k940
