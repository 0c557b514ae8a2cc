// The behaviour of the simulated K940: one description read from a scenario
// text and from --set options. Every field has the default of a healthy
// instrument that answers at 38400 baud.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace k940 {

// Refuse the record-th distinct record received (1-based) its first `times`
// transmissions.
struct RefusePlan {
    int record = 0;
    int times = 1;
};

// A message line that begins with prefix is answered with text.
struct ReplyRule {
    std::string prefix;
    std::string text;
};

// A moment of the instrument's life at which a fault strikes.
enum class When {
    never,
    record,      // the number-th distinct record arrives
    programming, // half way through the programming after the first S7 record
    reboot,      // a reboot command arrives
    query,       // the number-th identification query arrives
    message,     // the number-th message line arrives
    ms,          // number ms after the start
};

struct Moment {
    When when = When::never;
    int number = 0;
};

struct Scenario {
    // Identification.
    unsigned baud = 38400;
    std::string ident = "K940,SN1234,20000620,20070215,20060504";
    std::string ident_end = "\r\n";
    int answer_delay_ms = 0;
    int char_gap_ms = 0;
    bool silent = false;
    std::string stale;
    bool garble = true;

    // Records.
    std::string accept = "000 OK";
    std::string refuse = "E01 CHECKSUM";
    std::vector<RefusePlan> refuse_plan;
    int reply_twice = 0; // the reply to this distinct record goes out twice (0: none)
    int reply_delay_ms = 0;
    std::string noise;
    bool split = false;
    int split_bytes = 3;
    int split_gap_ms = 20;
    int programming_ms = 0;
    std::string after_reply; // sent right behind every reply to a record
    std::string status_line; // sent status_ms after the reply to an S7 record
    int status_ms = 100;
    int status_s7 = 0; // only after the reply to the status_s7-th S7 record (0: every one)

    // Reboot.
    int reboot_ms = 3000; // -1: silent until a power cycle
    int reboot_answer_from = 1;
    std::string banner;             // sent on coming back from a reboot or a power cycle
    bool hold_queries = false;      // queries that came while restarting, answered when back
    int reboot_answer_delay_ms = 0; // after a restart, every query is answered this late

    // Message lines.
    std::string script_reply = "READY\r\n";
    std::vector<ReplyRule> reply_to;
    std::string ack = "Ok\r\n"; // empty: no acknowledgement
    int ack_delay_ms = 0;
    int trickle_ms = 0;
    int trickle_for_ms = 2000;
    std::string trickle_byte = "\x11";
    int chatter_ms = 0; // send chatter every N ms from the start, whatever happens (0: off)
    std::string chatter = "x";

    // Wire time of each byte at the line's rate.
    bool pace = false;
    // The terminal starts with the settings another program may leave.
    bool dirty = false;

    // Faults: the line goes away (as a pulled USB adapter) and the process
    // ends; or the instrument hangs, connected but silent for good.
    Moment line_lost_at;
    Moment hang_at;
};

// Decodes \r \n \t \e \0 \\ and \xHH; any other backslash stays as it is.
std::string unescape(std::string_view text);

// Applies one setting. Throws std::invalid_argument naming the key when the
// key is unknown or the value does not fit it.
void apply_setting(Scenario& scenario, std::string_view key, std::string_view value);

// Applies every "key value" line of text; blank lines and lines whose first
// non-blank character is '#' are skipped. origin names the text in errors.
void apply_scenario_text(Scenario& scenario, std::string_view text, std::string_view origin);

// The help text that lists the keys.
const char* scenario_keys_help();

} // namespace k940
