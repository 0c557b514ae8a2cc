// The simulated K940 on the master side of a pseudo-terminal: it reads what
// kelo writes to the slave, answers as the scenario says, keeps the transcript
// and the memory it was programmed with.
#pragma once

#include "scenario.h"
#include "srecord.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <string>

namespace k940 {

struct Outputs {
    FILE* transcript = nullptr; // one line per event, or none
    int rx_log = -1;            // every byte received, or -1
    std::string memory_dir;     // where section-<n>.bin go, or empty
};

// Flags set by the signal handlers and acted on by the loop.
struct Requests {
    volatile sig_atomic_t stop = 0;
    volatile sig_atomic_t power_cycle = 0;
};

class Instrument {
  public:
    // master and slave are the two ends of the pty; the slave end is only
    // held open and inspected for the rate its user set. A lost line closes
    // both (see line_lost()).
    Instrument(const Scenario& scenario, int master, int slave, Outputs outputs);

    // Puts the stale bytes on the line.
    void start();
    // Serves the line until requests.stop is set or the line is lost. The
    // signals that set the flags must be blocked on entry: they are let in
    // only while waiting.
    void run(Requests& requests, const sigset_t& wait_mask);
    // True once the line is gone; both ends of the pty are closed then.
    bool line_lost() const { return lost; }
    // Writes the memory files and the last transcript line.
    void finish();

    // Text for the transcript: printable characters as they are, others
    // escaped.
    static std::string printable(const std::string& text);

  private:
    using Clock = std::chrono::steady_clock;

    int64_t now_ns() const;
    void note(const std::string& event);
    void say(const std::string& message);
    unsigned line_rate();
    void check_rate();
    int64_t byte_ns();

    // Receiving.
    void read_line_input();
    void handle_byte(uint8_t byte);
    void handle_line(const std::string& text);
    void handle_query();
    void handle_record(const std::string& text);
    void accept_record(const Record& record);
    void handle_message(const std::string& text);

    // Sending.
    void at(int delay_ms, std::function<void()> action);
    void emit(const std::string& bytes, int64_t gap_ns);
    void send_checked(const std::string& bytes, int64_t gap_ns);
    void reply(int delay_ms, const std::string& text);
    void answer_garbled(size_t length);
    void flush_output();
    void trickle_tick();
    void chatter_tick();

    // Reboot and power.
    void start_reboot();
    void end_reboot();
    void power_cycle();
    void come_back();
    void forget_pending();
    void save_memory();

    // Faults.
    bool strike(When when, int number);
    void lose_line();
    void hang();

    int64_t run_due();

    const Scenario& scenario;
    int master;
    int slave;
    Outputs outputs;
    Clock::time_point started;
    unsigned last_rate = 0;
    std::string last_settings;

    // Times are nanoseconds since the start. What the instrument does is timed
    // from the moment of the event that caused it (a byte's arrival, a timer
    // falling due), never from when the loop got round to it: a late wake-up
    // delays nothing that follows, the schedule catches up.
    std::deque<std::pair<int64_t, uint8_t>> input;  // byte and its arrival
    std::deque<std::pair<int64_t, uint8_t>> output; // byte and when it leaves
    int64_t input_wire_free = 0;
    int64_t output_wire_free = 0;
    int64_t event_ns = 0; // the moment of the event being handled
    bool output_blocked = false;
    std::multimap<int64_t, std::function<void()>> timers;

    std::string line;
    bool rebooting = false;
    bool restarted = false; // since a reboot or a power cycle
    int held_queries = 0;   // queries kept while rebooting (hold_queries)
    int queries = 0;
    int answer_from = 1;
    bool ack_pending = false;
    bool trickling = false;
    int64_t trickle_until = 0;

    // Counted for the faults: every query, message line and reboot command
    // since the start, whatever became of it.
    int queries_seen = 0;
    int messages_seen = 0;
    int reboots_seen = 0;
    bool programmed = false;
    int64_t lose_due = -1; // when the line goes, or -1
    int64_t hang_due = -1; // when the instrument hangs, or -1
    bool lost = false;
    bool hung = false;

    int record_number = 0;
    std::string last_record;
    int planned_refusals = 0;
    int section_records = 0;
    int s7_replies = 0; // accepted S7 records answered
    Memory memory;
};

} // namespace k940
