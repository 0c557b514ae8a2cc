// The key decoder: VT and xterm sequences, a Linux console's F1..F5, Alt
// and Ctrl-@ as a Windows console gives them.
#include "platform/key_decoder.h"

namespace {

using Pending = KeyDecoder::Pending;

void push_key(KeyDecoder& d, int code) {
    if (d.count < static_cast<int>(sizeof d.codes)) {
        d.codes[(d.head + d.count) % sizeof d.codes] = static_cast<unsigned char>(code);
        ++d.count;
    }
}

void push_extended(KeyDecoder& d, int prefix, int scan) {
    push_key(d, prefix);
    push_key(d, scan);
}

// Scan codes of a VT "CSI n ~" key, by n.
int tilde_key(int n, int* prefix) {
    *prefix = 224;
    switch (n) {
    case 1:
    case 7:
        return 71; // Home
    case 2:
        return 82; // Ins
    case 3:
        return 83; // Del
    case 4:
    case 8:
        return 79; // End
    case 5:
        return 73; // PgUp
    case 6:
        return 81; // PgDn
    case 23:
        return 133; // F11
    case 24:
        return 134; // F12
    default:
        break;
    }
    *prefix = 0;
    if (n >= 11 && n <= 15) return 59 + n - 11; // F1..F5
    if (n >= 17 && n <= 21) return 64 + n - 17; // F6..F10
    return -1;
}

// Scan code of the final letter of "CSI x" or "SS3 x".
int letter_key(int c, int* prefix) {
    *prefix = 224;
    switch (c) {
    case 'A':
        return 72;
    case 'B':
        return 80;
    case 'C':
        return 77;
    case 'D':
        return 75;
    case 'H':
        return 71;
    case 'F':
        return 79;
    default:
        break;
    }
    *prefix = 0;
    if (c >= 'P' && c <= 'S') return 59 + c - 'P'; // F1..F4
    return -1;
}

// Scan code a Windows console gives (after 0) for Alt and this key, -1 for
// a key it gives nothing for.
int alt_key(int c) {
    struct Row {
        const char* keys;
        int first_scan;
    };
    static const Row rows[] = {
        {"qwertyuiop", 16}, {"asdfghjkl", 30}, {"zxcvbnm", 44}, {"1234567890-=", 120}};
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    for (const Row& row : rows)
        for (int i = 0; row.keys[i] != '\0'; ++i)
            if (row.keys[i] == c) return row.first_scan + i;
    return -1;
}

// The byte that ends a CSI or SS3 sequence.
void finish_sequence(KeyDecoder& d, int c) {
    int prefix = 0;
    int scan = -1;
    if (d.pending == Pending::csi && c == '~')
        scan = tilde_key(d.sequence_number, &prefix);
    else
        scan = letter_key(c, &prefix);
    d.pending = Pending::none;
    if (scan >= 0) push_extended(d, prefix, scan);
}

// A terminal byte with nothing pending.
void start_terminal_key(KeyDecoder& d, int c) {
    if (c == 27) {
        d.pending = Pending::esc;
    } else if (c == 0) {
        push_extended(d, 0, 3); // Ctrl-@ (Ctrl-Space), as a Windows console gives it
    } else {
        push_key(d, c == 127 ? 8 : c); // the Backspace key sends DEL on terminals
    }
}

// The byte after an Esc.
void decode_after_esc(KeyDecoder& d, int c) {
    if (c == '[' || c == 'O') {
        d.pending = c == '[' ? Pending::csi : Pending::ss3;
        d.sequence_bytes = 0;
        d.sequence_number = 0;
        d.sequence_first_done = 0;
    } else if (c == 27) {
        push_key(d, 27); // the first was esc; the second starts anew
    } else {
        // Alt+key: the terminal sends Esc and the key.
        d.pending = Pending::none;
        int scan = alt_key(c);
        if (scan >= 0) push_extended(d, 0, scan);
    }
}

// A byte inside a sequence (CSI, SS3, a Linux console's Esc [ [). A byte that
// cannot be part of one cuts it short and counts on its own.
void decode_sequence_byte(KeyDecoder& d, int c) {
    if (c < 0x20 || c > 0x7E) {
        d.pending = Pending::none;
        return start_terminal_key(d, c);
    }
    if (d.pending == Pending::linux_f) {
        d.pending = Pending::none;
        if (c >= 'A' && c <= 'E') push_extended(d, 0, 59 + c - 'A');
        return;
    }
    if (d.pending == Pending::csi && c == '[' && d.sequence_bytes == 0) {
        d.pending = Pending::linux_f;
        return;
    }
    ++d.sequence_bytes;
    if (c >= 0x40) return finish_sequence(d, c);
    if (c == ';') {
        d.sequence_first_done = 1;
    } else if (c >= '0' && c <= '9' && !d.sequence_first_done && d.sequence_number < 1000) {
        d.sequence_number = d.sequence_number * 10 + (c - '0');
    }
}

// A byte from a pipe or a file: the key's code itself, but a 0 goes out
// only together with the code after it (a 224 is a key of its own).
void decode_input_byte(KeyDecoder& d, int c) {
    if (d.pending == Pending::prefix) {
        d.pending = Pending::none;
        return push_extended(d, 0, c);
    }
    if (c == 0) {
        d.pending = Pending::prefix;
        return;
    }
    push_key(d, c);
}

} // namespace

void decode_key_byte(KeyDecoder& d, int byte, int terminal, uint32_t now_ms) {
    if (!terminal) return decode_input_byte(d, byte);
    d.pending_since = now_ms;
    if (d.pending == Pending::none || d.pending == Pending::prefix)
        start_terminal_key(d, byte);
    else if (d.pending == Pending::esc)
        decode_after_esc(d, byte);
    else
        decode_sequence_byte(d, byte);
}

int settle_time_left(const KeyDecoder& d, uint32_t now_ms) {
    if (d.pending == Pending::none || d.pending == Pending::prefix) return -1;
    int32_t left = static_cast<int32_t>(d.pending_since + escape_wait_ms - now_ms);
    return left > 0 ? left : 0;
}

void settle_keys(KeyDecoder& d, uint32_t now_ms, int ended) {
    if (d.pending == Pending::none || (!ended && settle_time_left(d, now_ms) != 0)) return;
    if (d.pending == Pending::esc) push_key(d, 27);
    d.pending = Pending::none;
}

int take_key_code(KeyDecoder& d, int* code) {
    if (d.count == 0) return 0;
    *code = d.codes[d.head];
    d.head = (d.head + 1) % static_cast<int>(sizeof d.codes);
    --d.count;
    return 1;
}
