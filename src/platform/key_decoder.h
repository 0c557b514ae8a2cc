// The key decoder: turns the bytes a terminal sends for its keys, or the
// bytes of a pipe or file, into the key codes a Windows console gives (an
// extended key as 0 or 224 and its scan code). Pure: bytes go in with the
// clock reading at which each came, codes come out; nothing is read, no
// clock is asked.
#pragma once

#include <cstdint>

// A lone Esc is told from the start of a sequence by this quiet time after
// the sequence's last byte: a slow remote login may split a sequence, and
// nobody types the next key that soon after Esc.
constexpr uint32_t escape_wait_ms = 100;

struct KeyDecoder {
    // What is held of a key whose bytes have not all come.
    enum Pending {
        none,
        esc,     // Esc: the esc key, Alt+key, or a sequence's start
        csi,     // Esc [ and parameters
        linux_f, // Esc [ [: a Linux console's F1..F5
        ss3,     // Esc O
        prefix,  // a 0 from a pipe or file, without its second code
    };
    Pending pending;
    uint32_t pending_since; // when the pending key's last byte came
    // Of a CSI or SS3 sequence: bytes after its introducer, and its first
    // number (the others are modifiers, which do not matter).
    int sequence_bytes;
    int sequence_number;
    int sequence_first_done;
    // Codes decoded and not yet taken.
    unsigned char codes[64];
    int head;
    int count;
};

// One byte at now_ms, from a terminal (terminal 1: escape sequences) or
// from a pipe or file (0: each byte a code, a 0 with the byte after it).
void decode_key_byte(KeyDecoder& decoder, int byte, int terminal, uint32_t now_ms);
// No byte came by now_ms (ended 1: none ever will): a pending key from a
// terminal is settled once escape_wait_ms passed since its last byte (a lone
// Esc is then the esc key, an unfinished sequence is dropped); at the end
// of input every pending key is.
void settle_keys(KeyDecoder& decoder, uint32_t now_ms, int ended);
// Milliseconds until settle_keys settles the pending key; -1 when nothing
// pending runs out (a 0 from a pipe waits for its code or the end).
int settle_time_left(const KeyDecoder& decoder, uint32_t now_ms);
// 1 while a byte can be decoded without losing a code (it adds two at most).
inline int decoder_has_room(const KeyDecoder& decoder) {
    return decoder.count <= static_cast<int>(sizeof decoder.codes) - 2;
}
// The oldest code into *code: 1, or 0 when none waits.
int take_key_code(KeyDecoder& decoder, int* code);
