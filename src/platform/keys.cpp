// The one way the modes take keys: whole keys, never a wait.
#include "platform/keys.h"

#include "platform/platform.h"

int take_key(KeyPress* key) {
    if (!key_waiting()) return 0;
    key->code = read_key();
    key->scan = -1;
    // The platforms queue a two-code key whole, so its second code is
    // already there; a prefix on its own (one the platform could not pair)
    // is passed on as a key rather than waited for.
    if (key->code == key_prefix_function && key_waiting()) key->scan = read_key();
    return 1;
}

namespace {

// What is waiting, not what keeps coming: an endless input (`yes |`) must
// not hold a drain.
constexpr int most_keys = 128;

} // namespace

void drop_keys() {
    KeyPress key;
    for (int n = 0; n < most_keys && take_key(&key); ++n) {}
}

int take_keys_until_esc() {
    KeyPress key;
    int taken = keys_none;
    for (int n = 0; n < most_keys && take_key(&key); ++n) {
        if (is_esc(key)) return keys_esc;
        taken = keys_other;
    }
    return taken;
}
