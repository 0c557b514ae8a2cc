// The fake image reader and the world around the download engine.
#include "fake_world.h"

#include <cstring>

#include "image/image.h"
#include "shared/shared.h"

namespace fake {

World world;

void reset() {
    reset_platform();
    reset_line();
    world = World{};
    platform.on_pause = release_reply;
    platform.on_idle_wait = [] {
        ++world.idle_waits;
        release_reply();
        if (world.on_idle_wait) world.on_idle_wait();
        if (world.idle_waits >= world.idle_limit && platform.keys.empty())
            platform.keys.push_back(27);
    };
    opt_show_records = 0;
    image_offset = 0;
    image_length = 0;
    baud_rate = 0;
    std::memset(reply_line, 0, sizeof reply_line);
    instrument_version = appl_version = dsp_version = 0;
    section_mode = 0;
    reboot_pending = 0;
    run_outcome = run_ok;
}

} // namespace fake

using fake::world;

FileStamp checked_image;

int image_unchanged(FILE* file) {
    FileStamp now;
    return file_stamp(file, &now) == 0 && same_file_stamp(now, checked_image);
}

int read_image_line(char* buffer, int size, FILE*) {
    reboot_pending = 0;
    if (world.next_line >= world.image.size()) {
        buffer[0] = '\0';
        return 0;
    }
    const fake::ImageLine& line = world.image[world.next_line++];
    if (line.mode >= 0) {
        section_mode = line.mode;
        ++world.sections_met;
        world.section_unclosed = true;
    }
    if (line.text.size() > 1 && line.text[1] == '7') world.section_unclosed = false;
    std::strncpy(buffer, line.text.c_str(), static_cast<size_t>(size - 1));
    buffer[size - 1] = '\0';
    return static_cast<int>(std::strlen(buffer));
}

int32_t sections_met(int32_t* kind, int32_t* version) {
    *kind = section_mode;
    *version = 0;
    return world.sections_met;
}

int unclosed_section() {
    return world.section_unclosed ? world.sections_met : 0;
}

void report_unclosed_section(int number) {
    std::printf("unclosed section %d\n", number);
}
