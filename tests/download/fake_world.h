// A fake world for the download engine: the image reader that download.cpp
// and reboot.cpp call, over the fake line and platform (tests/fakes), with an
// instrument that answers each transmitted line through a test's function.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fake_line.h"
#include "fake_platform.h"

namespace fake {

// One image line and the section mode the reader sets when it hands it out
// (the reader sets section_mode at a section's S0 line; the fake takes it
// from every line that has one).
struct ImageLine {
    std::string text;
    int mode = -1; // -1: leave section_mode as it is
};

struct World {
    std::vector<ImageLine> image;
    size_t next_line = 0;
    int sections_met = 0; // the reader's count of section headers
    bool section_unclosed = false;

    std::function<void()> on_idle_wait;
    int idle_waits = 0;
    int idle_limit = 10000; // then esc is pressed, so a stalled test ends
};

extern World world;

// Resets the world, the line, the platform and the process-wide state
// kelo's download reads. The instrument's answers reach the line at every
// pause and idle wait.
void reset();

} // namespace fake

// The stamp of the download file as the check accepted it: the fake
// image_unchanged compares the file's stamp with it.
extern FileStamp checked_image;
