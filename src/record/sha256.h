// SHA-256 (FIPS 180-4) over a stream of bytes, in fixed storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct Sha256 {
    uint32_t state[8];
    uint64_t length; // bytes taken so far
    uint8_t block[64];
    uint32_t used; // bytes of block filled
};

void sha256_start(Sha256* hash);
void sha256_add(Sha256* hash, const void* bytes, size_t count);
// The digest as 64 lower-case hexadecimal digits and a NUL into text (65 bytes).
void sha256_finish(Sha256* hash, char* text);

// The digest (text, 65 bytes) of an open file's bytes from offset from to its
// The digest (text, 65 bytes) of an open file's bytes from offset from to its
// end, or of at most most bytes when most is not negative, and the number of
// bytes hashed into *bytes when bytes is not null; the file's position is
// kept. 0, or -1 when the file cannot be read.
int sha256_of_file(FILE* file, int32_t from, char* text, int64_t* bytes = nullptr,
                   int64_t most = -1);
