#include "scenario.h"

#include <charconv>
#include <functional>
#include <map>
#include <stdexcept>

namespace k940 {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

[[noreturn]] void bad_value(std::string_view key, std::string_view value) {
    throw std::invalid_argument("bad value for " + std::string(key) + ": '" + std::string(value) +
                                "'");
}

int to_int(std::string_view key, std::string_view value) {
    int result = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result);
    if (error != std::errc() || end != value.data() + value.size()) bad_value(key, value);
    return result;
}

int to_ms(std::string_view key, std::string_view value) {
    int ms = to_int(key, value);
    if (ms < 0) bad_value(key, value);
    return ms;
}

bool to_flag(std::string_view key, std::string_view value) {
    if (value == "1" || value == "yes" || value == "true") return true;
    if (value == "0" || value == "no" || value == "false") return false;
    bad_value(key, value);
}

// Splits "first rest" at the first blank; rest keeps its inner blanks.
std::pair<std::string_view, std::string_view> split_first(std::string_view value) {
    size_t blank = value.find_first_of(" \t");
    if (blank == std::string_view::npos) return {value, {}};
    return {value.substr(0, blank), trim(value.substr(blank))};
}

using Setter = std::function<void(Scenario&, std::string_view key, std::string_view value)>;

Setter text(std::string Scenario::*field) {
    return [field](Scenario& s, std::string_view, std::string_view v) { s.*field = unescape(v); };
}
Setter ms(int Scenario::*field) {
    return [field](Scenario& s, std::string_view k, std::string_view v) { s.*field = to_ms(k, v); };
}
Setter flag(bool Scenario::*field) {
    return
        [field](Scenario& s, std::string_view k, std::string_view v) { s.*field = to_flag(k, v); };
}

void set_baud(Scenario& s, std::string_view k, std::string_view v) {
    int baud = to_int(k, v);
    if (baud <= 0) bad_value(k, v);
    s.baud = static_cast<unsigned>(baud);
}

void set_refuse_record(Scenario& s, std::string_view k, std::string_view v) {
    auto [record, times] = split_first(v);
    RefusePlan plan{to_int(k, record), times.empty() ? 1 : to_int(k, times)};
    if (plan.record < 1 || plan.times < 0) bad_value(k, v);
    s.refuse_plan.push_back(plan);
}

void set_reply_to(Scenario& s, std::string_view k, std::string_view v) {
    auto [prefix, reply] = split_first(v);
    if (prefix.empty()) bad_value(k, v);
    s.reply_to.push_back({unescape(prefix), unescape(reply)});
}

void set_ack(Scenario& s, std::string_view, std::string_view v) {
    s.ack = v == "none" ? std::string() : unescape(v);
}

void set_reboot_ms(Scenario& s, std::string_view k, std::string_view v) {
    s.reboot_ms = to_int(k, v);
    if (s.reboot_ms < -1) bad_value(k, v);
}

void set_answer_from(Scenario& s, std::string_view k, std::string_view v) {
    s.reboot_answer_from = to_int(k, v);
    if (s.reboot_answer_from < 1) bad_value(k, v);
}

void set_split_bytes(Scenario& s, std::string_view k, std::string_view v) {
    s.split_bytes = to_int(k, v);
    if (s.split_bytes < 1) bad_value(k, v);
}

// "record N", "programming", "reboot", "query N", "message N" or "ms N".
Moment to_moment(std::string_view k, std::string_view v) {
    static const std::pair<std::string_view, When> kinds[] = {
        {"record", When::record}, {"programming", When::programming}, {"reboot", When::reboot},
        {"query", When::query},   {"message", When::message},         {"ms", When::ms},
    };
    auto [word, number] = split_first(v);
    for (auto [name, when] : kinds) {
        if (word != name) continue;
        bool counted = when != When::programming && when != When::reboot;
        if (!counted && number.empty()) return Moment{when, 1};
        if (!counted) break;
        int n = 0;
        auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), n);
        if (number.empty() || error != std::errc() || end != number.data() + number.size() ||
            n < (when == When::ms ? 0 : 1))
            break;
        return Moment{when, n};
    }
    throw std::invalid_argument("bad value for " + std::string(k) + ": '" + std::string(v) +
                                "' (record N, programming, reboot, query N, message N or ms N)");
}

Setter moment(Moment Scenario::*field) {
    return [field](Scenario& s, std::string_view k, std::string_view v) {
        s.*field = to_moment(k, v);
    };
}

const std::map<std::string, Setter, std::less<>>& setters() {
    static const std::map<std::string, Setter, std::less<>> table = {
        {"baud", set_baud},
        {"ident", text(&Scenario::ident)},
        {"ident_end", text(&Scenario::ident_end)},
        {"answer_delay_ms", ms(&Scenario::answer_delay_ms)},
        {"char_gap_ms", ms(&Scenario::char_gap_ms)},
        {"silent", flag(&Scenario::silent)},
        {"stale", text(&Scenario::stale)},
        {"garble", flag(&Scenario::garble)},
        {"accept", text(&Scenario::accept)},
        {"refuse", text(&Scenario::refuse)},
        {"refuse_record", set_refuse_record},
        {"reply_twice", ms(&Scenario::reply_twice)},
        {"reply_delay_ms", ms(&Scenario::reply_delay_ms)},
        {"noise", text(&Scenario::noise)},
        {"split", flag(&Scenario::split)},
        {"split_bytes", set_split_bytes},
        {"split_gap_ms", ms(&Scenario::split_gap_ms)},
        {"programming_ms", ms(&Scenario::programming_ms)},
        {"after_reply", text(&Scenario::after_reply)},
        {"status_line", text(&Scenario::status_line)},
        {"status_ms", ms(&Scenario::status_ms)},
        {"status_s7", ms(&Scenario::status_s7)},
        {"reboot_ms", set_reboot_ms},
        {"reboot_answer_from", set_answer_from},
        {"banner", text(&Scenario::banner)},
        {"hold_queries", flag(&Scenario::hold_queries)},
        {"reboot_answer_delay_ms", ms(&Scenario::reboot_answer_delay_ms)},
        {"script_reply", text(&Scenario::script_reply)},
        {"reply_to", set_reply_to},
        {"ack", set_ack},
        {"ack_delay_ms", ms(&Scenario::ack_delay_ms)},
        {"trickle_ms", ms(&Scenario::trickle_ms)},
        {"trickle_for_ms", ms(&Scenario::trickle_for_ms)},
        {"trickle_byte", text(&Scenario::trickle_byte)},
        {"chatter_ms", ms(&Scenario::chatter_ms)},
        {"chatter", text(&Scenario::chatter)},
        {"pace", flag(&Scenario::pace)},
        {"dirty", flag(&Scenario::dirty)},
        {"line_lost_at", moment(&Scenario::line_lost_at)},
        {"hang_at", moment(&Scenario::hang_at)},
    };
    return table;
}

} // namespace

std::string unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        char next = text[++i];
        switch (next) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'e':
            out += '\x1b';
            break;
        case '0':
            out += '\0';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x':
            if (i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
                out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
                i += 2;
                break;
            }
            [[fallthrough]];
        default:
            out += '\\';
            out += next;
        }
    }
    return out;
}

void apply_setting(Scenario& scenario, std::string_view key, std::string_view value) {
    auto setter = setters().find(key);
    if (setter == setters().end()) throw std::invalid_argument("unknown key " + std::string(key));
    setter->second(scenario, key, trim(value));
}

void apply_scenario_text(Scenario& scenario, std::string_view text, std::string_view origin) {
    int number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (line.empty() || line.front() == '#') continue;
        auto [key, value] = split_first(line);
        try {
            apply_setting(scenario, key, value);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(std::string(origin) + ":" + std::to_string(number) + ": " +
                                        e.what());
        }
    }
}

const char* scenario_keys_help() {
    return R"(Scenario keys (one "key value" a line; '#' starts a comment line; text values
take the escapes \r \n \t \e \0 \\ \xHH):
  baud N               rate the instrument answers at (38400)
  ident TEXT           identification answer (K940,SN1234,20000620,20070215,20060504)
  ident_end TEXT       end of the identification answer (\r\n)
  answer_delay_ms N    delay before the first answer byte (0)
  char_gap_ms N        gap between answer bytes (0)
  silent 0|1           never answer the identification query (0)
  stale TEXT           bytes put on the line at start, before anyone opens it
  garble 0|1           answer garbled bytes at a wrong rate, as a UART would (1)
  accept TEXT          reply to a good record, CR LF appended (000 OK)
  refuse TEXT          reply to a bad record, CR LF appended (E01 CHECKSUM)
  refuse_record K N    refuse the K-th distinct record N times (repeatable)
  reply_twice K        send every reply to the K-th distinct record twice (0: none)
  reply_delay_ms N     delay before each reply to a record or message line (0)
  noise TEXT           stray bytes sent before each reply to a record
  split 0|1            send replies in pieces (0: in one burst)
  split_bytes N        bytes per piece (3)
  split_gap_ms N       gap between pieces (20)
  programming_ms N     extra delay before the reply to an S7 record (0)
  after_reply TEXT     a line sent right behind every reply to a record, such as
                       a prompt (>\r\n) or OK\r\n (none)
  status_line TEXT     a line sent status_ms after the reply to an S7 record,
                       such as PROGRAMMED\r\n (none)
  status_ms N          ... this many ms after the reply (100)
  status_s7 K          ... only after the K-th S7 record's reply, K = 3 being the
                       last of a three-section image (0: after every one)
  reboot_ms N          silence after $REBOOT2/$REBOOT; -1 until a power cycle (3000)
  reboot_answer_from N after a reboot, answer queries from the N-th on (1)
  banner TEXT          sign-on text sent on coming back from a reboot or a power
                       cycle, before any answer (none)
  hold_queries 0|1     keep the queries that come while rebooting and answer them
                       all at once when back (0: they are ignored)
  reboot_answer_delay_ms N  after a reboot or power cycle, answer each query N ms
                       late (0)
  script_reply TEXT    reply to any other line (READY\r\n); empty: none
  reply_to PREFIX TEXT reply to lines beginning with PREFIX (repeatable, first wins)
  ack TEXT|none        acknowledgement after an RD- line and control-R (Ok\r\n)
  ack_delay_ms N       delay before the acknowledgement (0)
  trickle_ms N         after each message line send trickle_byte every N ms (0: off)
  trickle_for_ms N     ... for this long (2000)
  trickle_byte TEXT    the byte sent (\x11)
  chatter_ms N         send chatter every N ms from the start, at any rate,
                       until a restart or a hang (0: off)
  chatter TEXT         the text sent (x)
  pace 0|1             emulate the wire time of every byte at the line's rate (0)
  dirty 0|1            start the terminal as another program may leave a port:
                       flow control, parity, 2 stop bits, 7 bits, echo (0)
  line_lost_at MOMENT  the line goes away then, as a pulled USB adapter: both ends
                       of the terminal close, the link goes, the simulator ends (never)
  hang_at MOMENT       from then on connected but silent: nothing more is sent (never)
MOMENT: record N     the N-th distinct record arrives, before its reply
        programming  half way through programming_ms after the first accepted S7
                     record, before its reply (at once when programming_ms is 0)
        reboot       a reboot command arrives
        query N      the N-th identification query arrives, answered or not
        message N    the N-th message line arrives, before its reply
        ms N         N ms after the start
)";
}

} // namespace k940
