// The platform seam in test time, linked by the unit tests in place of the
// platform's own file: a clock that moves only while kelo pauses or waits
// idle, keys that a test types, and the modem-line requests kelo makes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct ModemRequest {
    ModemLine line;
    int on;
    bool operator==(const ModemRequest&) const = default;
};

// A key code typed at a moment of test time.
struct TimedKey {
    uint32_t at_ms;
    int code;
};

struct Platform {
    // Test time since the reset, in microseconds; clock_ms() gives its
    // milliseconds. An idle wait moves it on to its time-out, or to the
    // moment the line or the keyboard has something for kelo.
    uint64_t now_us = 0;

    std::deque<int> keys;             // waiting now
    std::vector<TimedKey> timed_keys; // waiting from their moment, in order
    std::deque<int> keys_when_asked;  // typed once kelo asks keyboard_ended()
    bool keyboard_open = false;       // keys may still come (a console)
    int key_reads = 0;

    std::vector<uint32_t> pauses_ms;
    std::vector<uint32_t> pauses_us;
    std::vector<uint32_t> idle_waits_ms; // each idle wait's time-out
    std::vector<ModemRequest> modem_requests;

    // When the line has input for kelo next (test milliseconds), -1 never.
    std::function<int64_t()> next_input_ms;
    // Whether input waits now.
    std::function<bool()> input_waiting;
    // Called after each pause and each idle wait, once the clock moved on.
    std::function<void()> on_pause;
    std::function<void()> on_idle_wait;
};

extern Platform platform;

// A fresh platform at test time 0.
void reset_platform();

} // namespace fake
