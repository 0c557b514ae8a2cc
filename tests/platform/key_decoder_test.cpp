// The key decoder: the bytes of a terminal's keys, or of a pipe or file, and
// the moments they come, in; the codes a Windows console gives out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/key_decoder.h"

namespace {

struct Case {
    const char* what;
    std::string bytes;
    int terminal;
    uint32_t gap_ms;   // between two bytes
    uint32_t quiet_ms; // after the last byte, before the codes are taken
    std::vector<int> codes;
};

std::vector<int> decode(const Case& c) {
    KeyDecoder decoder{};
    uint32_t now = 1000;
    for (char byte : c.bytes) {
        decode_key_byte(decoder, static_cast<unsigned char>(byte), c.terminal, now);
        now += c.gap_ms;
    }
    settle_keys(decoder, now - c.gap_ms + c.quiet_ms, 0);
    std::vector<int> codes;
    for (int code; take_key_code(decoder, &code);) codes.push_back(code);
    return codes;
}

TEST(KeyDecoder, EveryKeyAsAWindowsConsoleGivesIt) {
    const Case cases[] = {
        {"letters and control keys", "a\r\t\x01", 1, 0, 0, {97, 13, 9, 1}},
        {"Backspace sends DEL", "\x7f", 1, 0, 0, {8}},
        {"Ctrl-@ (Ctrl-Space)", std::string(1, '\0'), 1, 0, 0, {0, 3}},
        {"arrows", "\x1b[A\x1b[B\x1b[C\x1b[D", 1, 0, 0, {224, 72, 224, 80, 224, 77, 224, 75}},
        {"arrows in application mode", "\x1bOA\x1bOD", 1, 0, 0, {224, 72, 224, 75}},
        {"Home and End",
         "\x1b[H\x1b[F\x1b[1~\x1b[4~\x1b[7~\x1b[8~",
         1,
         0,
         0,
         {224, 71, 224, 79, 224, 71, 224, 79, 224, 71, 224, 79}},
        {"Ins, Del, PgUp, PgDn",
         "\x1b[2~\x1b[3~\x1b[5~\x1b[6~",
         1,
         0,
         0,
         {224, 82, 224, 83, 224, 73, 224, 81}},
        {"F1..F4 (SS3)", "\x1bOP\x1bOS", 1, 0, 0, {0, 59, 0, 62}},
        {"F5..F12",
         "\x1b[15~\x1b[17~\x1b[21~\x1b[23~\x1b[24~",
         1,
         0,
         0,
         {0, 63, 0, 64, 0, 68, 224, 133, 224, 134}},
        {"a Linux console's F1, F5", "\x1b[[A\x1b[[E", 1, 0, 0, {0, 59, 0, 63}},
        {"modifiers do not matter", "\x1b[1;5A\x1b[3;2~", 1, 0, 0, {224, 72, 224, 83}},
        {"Alt+x, Alt+1",
         "\x1bx\x1b"
         "1",
         1,
         0,
         0,
         {0, 45, 0, 120}},
        {"a sequence of no key", "\x1b[99~\x1b[Z", 1, 0, 0, {}},
        {"a control byte cuts a sequence", "\x1b[\r", 1, 0, 0, {13}},
        {"a lone Esc after 100 ms", "\x1b", 1, 0, 100, {27}},
        {"not before", "\x1b", 1, 0, 99, {}},
        {"Esc Esc", "\x1b\x1b", 1, 0, 100, {27, 27}},
        {"a sequence whose bytes come 30 to 50 ms apart", "\x1b[A", 1, 50, 0, {224, 72}},
        {"a pipe: each byte a code",
         "\x1b"
         "a\xff",
         0,
         0,
         0,
         {27, 97, 255}},
        {"a pipe: 0 and the code after it", std::string("\0b", 2), 0, 0, 0, {0, 98}},
        {"a pipe: 224 is a code of its own", "\xe0\x1b", 0, 0, 0, {224, 27}},
        {"a pipe: a 0 waits for its code", std::string(1, '\0'), 0, 0, 1000, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(decode(c), c.codes) << c.what;
}

TEST(KeyDecoder, TheEndOfInputSettlesAPendingKey) {
    KeyDecoder decoder{};
    decode_key_byte(decoder, 27, 1, 0);
    EXPECT_EQ(settle_time_left(decoder, 40), 60);
    settle_keys(decoder, 40, 1);
    int code = 0;
    EXPECT_TRUE(take_key_code(decoder, &code) && code == 27);
    decode_key_byte(decoder, 0, 0, 0);
    EXPECT_EQ(settle_time_left(decoder, 0), -1) << "a 0 from a pipe waits";
    settle_keys(decoder, 0, 1);
    EXPECT_FALSE(take_key_code(decoder, &code)) << "and is dropped at the end";
}

} // namespace
