// The fake platform: every function of platform/platform.h in test time.
#include "fake_platform.h"

#include <ctime>

namespace fake {

Platform platform;

void reset_platform() {
    platform = Platform{};
}

namespace {

uint64_t ms_to_us(uint64_t ms) {
    return ms * 1000u;
}

// Timed keys whose moment has come join the waiting ones.
void type_due_keys() {
    auto& timed = platform.timed_keys;
    while (!timed.empty() && ms_to_us(timed.front().at_ms) <= platform.now_us) {
        platform.keys.push_back(timed.front().code);
        timed.erase(timed.begin());
    }
}

// The moment (test microseconds) the line or the keyboard next has
// something, if before end_us.
uint64_t next_event_us(uint64_t end_us) {
    int64_t input_ms = platform.next_input_ms ? platform.next_input_ms() : -1;
    if (input_ms >= 0 && ms_to_us(static_cast<uint64_t>(input_ms)) < end_us)
        end_us = ms_to_us(static_cast<uint64_t>(input_ms));
    if (!platform.timed_keys.empty() && ms_to_us(platform.timed_keys.front().at_ms) < end_us)
        end_us = ms_to_us(platform.timed_keys.front().at_ms);
    return end_us < platform.now_us ? platform.now_us : end_us;
}

} // namespace

} // namespace fake

using fake::platform;

void console_start() {}
void console_restore() {}
void console_pass_signal_keys() {}

int key_waiting() {
    fake::type_due_keys();
    return platform.keys.empty() ? 0 : 1;
}

int read_key() {
    ++platform.key_reads;
    fake::type_due_keys();
    if (platform.keys.empty()) return 27; // as when standard input has ended
    int code = platform.keys.front();
    platform.keys.pop_front();
    return code;
}

int keyboard_ended() {
    for (int code : platform.keys_when_asked) platform.keys.push_back(code);
    platform.keys_when_asked.clear();
    return platform.keys.empty() && platform.timed_keys.empty() && !platform.keyboard_open;
}

uint32_t clock_ms() {
    return static_cast<uint32_t>(platform.now_us / 1000u);
}

// The real wall clock: the download's Programming dots follow the standard
// time(), which no fake reaches.
int64_t wall_clock_ms() {
    return static_cast<int64_t>(std::time(nullptr)) * 1000;
}

void pause_ms(uint32_t ms) {
    platform.pauses_ms.push_back(ms);
    platform.now_us += fake::ms_to_us(ms);
    if (platform.on_pause) platform.on_pause();
}

void pause_us(uint32_t us) {
    platform.pauses_us.push_back(us);
    platform.now_us += us;
    if (platform.on_pause) platform.on_pause();
}

void keep_display_on(int) {}

void idle_wait(uint32_t timeout_ms) {
    platform.idle_waits_ms.push_back(timeout_ms);
    bool input = platform.input_waiting && platform.input_waiting();
    if (!input && !key_waiting())
        platform.now_us = fake::next_event_us(platform.now_us + fake::ms_to_us(timeout_ms));
    if (platform.on_idle_wait) platform.on_idle_wait();
}

// As idle_wait, but waiting keys do not end it.
void port_wait(uint32_t timeout_ms) {
    platform.idle_waits_ms.push_back(timeout_ms);
    fake::type_due_keys();
    if (!(platform.input_waiting && platform.input_waiting()))
        platform.now_us = fake::next_event_us(platform.now_us + fake::ms_to_us(timeout_ms));
    if (platform.on_idle_wait) platform.on_idle_wait();
}

void set_modem_line(int, ModemLine line, int on) {
    platform.modem_requests.push_back({line, on});
}

void on_abrupt_end(void (*)(int)) {}
void closing_pause_begins() {}
int closing_pause_cut() {
    return 0;
}

const char* own_program_file(const char* argv0) {
    return argv0;
}
