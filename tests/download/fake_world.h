// A fake world for the download engine: the image reader, the serial line,
// the keyboard and the pauses that download.cpp and reboot.cpp call, with an
// instrument that answers each transmitted line through a test's function.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake {

// One image line and the section mode the reader sets when it hands it out
// (the reader sets section_mode at a section's S0 line; the fake takes it
// from every line that has one).
struct ImageLine {
    std::string text;
    int mode = -1; // -1: leave section_mode as it is
};

// Input that the line delivers: a byte, a failed read, or the device going
// away (every operation after it fails).
struct Input {
    int byte; // 0..255, read_failure or line_gone
};
constexpr int read_failure = -1;
constexpr int line_gone = -2;

struct World {
    std::vector<ImageLine> image;
    size_t next_line = 0;

    // Called with each transmission (the bytes as sent); returns the bytes
    // the instrument answers with, delivered when kelo next waits idle.
    std::function<std::string(const std::string&)> instrument;
    std::string pending_reply;
    std::deque<Input> input; // what read_text delivers, in order
    bool lost = false;       // the line went away
    int sections_met = 0;    // the reader's count of section headers
    bool section_unclosed = false;

    std::vector<std::string> transmissions;
    std::deque<int> keys; // waiting keys: key_waiting sees them
    // Keys typed at the reboot prompt: they arrive once it waits for them.
    std::deque<int> typed_later;
    bool keyboard_open = false; // keys may still come (a console)
    std::function<void()> on_idle_wait;
    int idle_waits = 0;
    int idle_limit = 10000; // then esc is pressed, so a stalled test ends
    std::vector<unsigned> pauses;
    std::vector<unsigned> reply_pauses_us; // sleeps through a reply's rest
    int key_reads = 0;
};

extern World world;

// Resets the world and the process-wide state kelo's download reads.
void reset();

// Puts bytes (and read failures) on the line at once.
void deliver(const std::string& bytes);
void deliver_failures(int count);
// The line goes away once what was delivered before has been read.
void deliver_loss();

} // namespace fake
