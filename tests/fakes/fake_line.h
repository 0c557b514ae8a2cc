// The serial link in test time, linked by the unit tests in place of
// src/serial: the functions of serial/serial_link.h over a line that records
// what kelo sends and delivers what a test puts on it, at once or at a
// moment of test time, with failed reads and the device going away.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake {

// What the line delivers: a byte (0..255), a failed read, or the device
// going away (every operation after it fails), from a moment of test time.
constexpr int read_failure = -1;
constexpr int line_gone = -2;
struct Input {
    int byte;
    uint32_t at_ms = 0;
};

struct Line {
    std::deque<Input> input; // in the order of their moments
    bool lost = false;

    std::vector<std::string> transmissions; // each send, its bytes as sent
    std::vector<uint32_t> sent_at_ms;       // the moment of each

    // Called with each transmission; returns the bytes the instrument
    // answers with, delivered when kelo next pauses or waits idle.
    std::function<std::string(const std::string&)> instrument;
    std::string pending_reply;
};

extern Line line;

// A fresh line, hooked into the fake platform so that its idle waits end
// when input comes (reset the platform first).
void reset_line();

// Puts bytes on the line, from test time at_ms (0: at once).
void deliver(const std::string& bytes, uint32_t at_ms = 0);
void deliver_failures(int count);
// The line goes away once what was delivered before has been read.
void deliver_loss();
// The instrument's pending answer reaches the line.
void release_reply();

} // namespace fake
