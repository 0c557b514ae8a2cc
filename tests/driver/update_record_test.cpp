// The update record's own pieces, apart from a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "record/sha256.h"
#include "record/update_record.h"

// The start time, computed without the C library's time zone machinery,
// agrees with gmtime at the turns of days, months, leap days, centuries and
// 400-year eras from 1970 to 2400.
TEST(UpdateRecord, StartTimeAgreesWithGmtime) {
    const int64_t day = 86400;
    for (int64_t at = 0; at < 157000 * day; at += day - 1) {
        for (int64_t seconds : {at, at + day - 1 - at % day}) {
            std::time_t t = static_cast<std::time_t>(seconds);
            std::tm utc{};
            ASSERT_NE(gmtime_r(&t, &utc), nullptr);
            char expected[32];
            std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &utc);
            char shown[32];
            utc_text(seconds, shown, sizeof shown);
            ASSERT_STREQ(shown, expected) << seconds;
        }
    }
}

// SHA-256 agrees with sha256sum where the padding changes shape (55, 56, 63
// and 64 bytes modulo 64) and on the standard messages, fed in pieces.
TEST(UpdateRecord, Sha256AgreesWithSha256sum) {
    std::vector<std::string> messages = {
        "abc", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
        "lmnopqrsmnopqrstnopqrstu"};
    for (size_t length : {0, 55, 56, 63, 64, 119, 120, 6455, 6456})
        messages.emplace_back(length, 'k');
    for (const std::string& m : messages) {
        std::ofstream("sha256.bin", std::ios::binary) << m;
        std::FILE* sum = popen("sha256sum sha256.bin", "r");
        char expected[65] = {}, digest[65];
        ASSERT_EQ(std::fread(expected, 1, 64, sum), 64u);
        pclose(sum);
        for (size_t piece : {size_t{1}, size_t{63}, m.size() + 1}) {
            Sha256 hash;
            sha256_start(&hash);
            for (size_t at = 0; at < m.size(); at += piece)
                sha256_add(&hash, &m[at], std::min(piece, m.size() - at));
            sha256_finish(&hash, digest);
            EXPECT_STREQ(digest, expected) << m.size() << " bytes in pieces of " << piece;
        }
    }
    std::remove("sha256.bin");
}
