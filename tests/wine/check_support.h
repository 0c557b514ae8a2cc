// What the Windows check programs share: counting failed checks and reading
// the process's own processor time.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace checks {

inline int failures = 0;

// Prints a failed check and counts it.
inline void check(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) return;
    ++failures;
    std::printf("FAILED: %s %s\n", what, detail.c_str());
}

// Processor time of this process so far, in milliseconds.
inline double cpu_ms() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}

} // namespace checks
