// The fakes behind the functions the download engine calls.
#include "fake_world.h"

#include <ctime>

#include <cstring>

#include "driver/driver.h"
#include "image/image.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

namespace fake {

World world;

void reset() {
    world = World{};
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

void deliver(const std::string& bytes) {
    for (char c : bytes) world.input.push_back({static_cast<unsigned char>(c)});
}

void deliver_failures(int count) {
    for (int i = 0; i < count; ++i) world.input.push_back({read_failure});
}

void deliver_loss() {
    world.input.push_back({line_gone});
}

} // namespace fake

using fake::world;

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

int unclosed_section() {
    return world.section_unclosed ? world.sections_met : 0;
}

void report_unclosed_section(int number) {
    std::printf("unclosed section %d\n", number);
}

void strip_line_end(char* text) {
    size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n')) text[--len] = '\0';
}

int32_t read_text(char* buffer, int32_t, int32_t* count) {
    *count = 0;
    if (world.lost) return *count = receive_lost;
    if (world.input.empty()) return 0;
    fake::Input in = world.input.front();
    world.input.pop_front();
    if (in.byte == fake::line_gone) {
        world.lost = true;
        return *count = receive_lost;
    }
    if (in.byte == fake::read_failure) {
        *count = receive_failed;
        return *count;
    }
    buffer[0] = static_cast<char>(in.byte);
    buffer[1] = '\0';
    *count = 1;
    return 1;
}

// The serial link's contract: a failed read is no byte, a lost line ends.
int receive_byte() {
    char buffer[2];
    int32_t count = 0;
    read_text(buffer, 1, &count);
    if (count == 1) return static_cast<unsigned char>(buffer[0]);
    return world.lost ? receive_lost : receive_nothing;
}

int port_lost() {
    // Asking the device finds the loss that is next on the line.
    if (!world.lost && !world.input.empty() && world.input.front().byte == fake::line_gone) {
        world.input.pop_front();
        world.lost = true;
    }
    return world.lost ? 1 : 0;
}

int32_t send_line(char* text) {
    size_t len = std::strlen(text);
    text[len] = '\r';
    text[len + 1] = '\0';
    std::string sent(text, len + 1);
    world.transmissions.push_back(sent);
    if (world.instrument) world.pending_reply += world.instrument(sent);
    return static_cast<int32_t>(len + 1);
}

int send_byte(int) {
    return 1;
}

int key_waiting() {
    return world.keys.empty() ? 0 : 1;
}

// Only the reboot prompt asks while it waits: the keys typed later come now.
int keyboard_ended() {
    for (int key : world.typed_later) world.keys.push_back(key);
    world.typed_later.clear();
    return world.keys.empty() && !world.keyboard_open ? 1 : 0;
}

int read_key() {
    ++world.key_reads;
    if (world.keys.empty()) return 27; // as when standard input has ended
    int key = world.keys.front();
    world.keys.pop_front();
    return key;
}

// The instrument's answer reaches the line while kelo waits.
static void release_reply() {
    fake::deliver(world.pending_reply);
    world.pending_reply.clear();
}

void pause_ms(uint32_t ms) {
    world.pauses.push_back(ms);
    release_reply();
}

void pause_us(uint32_t us) {
    world.reply_pauses_us.push_back(us);
    release_reply();
}

void idle_wait(uint32_t) {
    ++world.idle_waits;
    release_reply();
    if (world.on_idle_wait) world.on_idle_wait();
    if (world.idle_waits >= world.idle_limit && world.keys.empty()) world.keys.push_back(27);
}

uint32_t clock_ms() {
    return 0;
}

int64_t wall_clock_ms() {
    return static_cast<int64_t>(std::time(nullptr)) * 1000;
}
