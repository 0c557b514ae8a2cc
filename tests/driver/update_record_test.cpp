// The update record's own pieces, apart from a run.
#include <gtest/gtest.h>

#include <ctime>

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
