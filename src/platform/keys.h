// Console keys as the modes see them: the codes a Windows console gives, and
// the one way every mode takes a key.
#pragma once

constexpr int key_esc = 27;
constexpr int key_enter = 13;
constexpr int key_backspace = 8;
// Control-R: sent after a message when the instrument wants it.
constexpr int ctrl_r_byte = 18;
// First code of a two-code key: 0 for F1..F10, Alt+key and Ctrl-@. The
// console puts 224 before the arrows, Ins, Del, Home, End, PgUp, PgDn, F11
// and F12; the modes take that 224 as a key of its own, and the code after
// it as the next key.
constexpr int key_prefix_function = 0;
constexpr int key_prefix_extended = 224;

// One key, whole.
struct KeyPress {
    int code; // the key's code, or key_prefix_function
    int scan; // the second code after key_prefix_function; -1 for a one-code key
};

// 1 when the key is esc itself (the second code of a two-code key never is).
inline int is_esc(const KeyPress& key) {
    return key.code == key_esc && key.scan < 0;
}

// Takes one waiting key, with its second code after a 0, without ever
// waiting: 1 with *key filled, 0 when no whole key is waiting.
int take_key(KeyPress* key);

// Drops the keys that are waiting (at most 128: an endless input is cut
// short).
void drop_keys();

// Takes the keys that are waiting (at most 128) up to the first esc:
// keys_esc when there was one, keys_other when only other keys, keys_none.
constexpr int keys_none = 0;
constexpr int keys_other = 1;
constexpr int keys_esc = 2;
int take_keys_until_esc();
