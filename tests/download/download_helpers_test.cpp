// The pure pieces of the download engine: the progress figures, the version
// lines and the timing of the Programming dots.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "download/download_internal.h"

namespace {

TEST(RecordOffset, AddressOfAnS3RecordWhateverItsByteCount) {
    EXPECT_EQ(record_offset("S319000007FC01312F6C\r\n", 5), 0x7FCu);
    EXPECT_EQ(record_offset("S3FF000007FC01312F6C\r\n", 5), 0x7FCu)
        << "the byte count's second digit shifts out of 32 bits";
    EXPECT_EQ(record_offset("S31500040000AB\r\n", 0), 0x40000u);
    EXPECT_EQ(record_offset("S3150002A981FF", 0), 0x2A981u);
}

TEST(RecordOffset, ReadsAtMostNineDigitsFromTheFourthCharacter) {
    // Characters 3..11 are "123456789"; the 'A' behind them is not read.
    EXPECT_EQ(record_offset("S30123456789A", 0), 0x23456789u);
    EXPECT_EQ(record_offset("S70500000802F0\r\n", 1), 0x00000802u);
    EXPECT_EQ(record_offset("S3fa0000abcd", 0), 0xabcdu) << "lower-case digits count";
}

TEST(RecordOffset, StopsAtTheFirstCharacterThatIsNoDigit) {
    EXPECT_EQ(record_offset("S3112G4567", 0), 0x12u);
    EXPECT_EQ(record_offset("S00600004844521B", 0), 0x4844u);
    EXPECT_EQ(record_offset("S3112\r\n", 9), 0x12u) << "a short record ends the number";
}

TEST(RecordOffset, KeepsThePreviousValueWithoutAFirstDigit) {
    EXPECT_EQ(record_offset("S31 234567", 0x1234u), 0x1234u);
    EXPECT_EQ(record_offset("S3xz", 0x77u), 0x77u);
    EXPECT_EQ(record_offset("S3", 0x88u), 0x88u) << "the record ends before the 4th character";
    EXPECT_EQ(record_offset("", 0x99u), 0x99u);
}

TEST(ProgressPercent, TruncatesTowardZero) {
    EXPECT_EQ(progress_percent(0, 969826), 0);
    EXPECT_EQ(progress_percent(9698, 969826), 0);
    EXPECT_EQ(progress_percent(9699, 969826), 1);
    EXPECT_EQ(progress_percent(484913, 969826), 50);
    EXPECT_EQ(progress_percent(960127, 969826), 98);
    EXPECT_EQ(progress_percent(960128, 969826), 99);
}

TEST(ProgressPercent, NeverShowsMoreThan99) {
    EXPECT_EQ(progress_percent(969826, 969826), 99);
    EXPECT_EQ(progress_percent(2000000, 969826), 99);
}

TEST(ProgressPercent, RightForImagesBeyondWhatA32BitProductHolds) {
    // 100 * 30,000,000 overflows 32 bits; the figure must still be right.
    EXPECT_EQ(progress_percent(30000000, 60000000), 50);
    EXPECT_EQ(progress_percent(INT_MAX / 3, INT_MAX), 33);
    EXPECT_EQ(progress_percent(INT_MAX - 1, INT_MAX), 99);
}

TEST(ProgressPercent, NoDivisionByAnEmptyLength) {
    EXPECT_EQ(progress_percent(10, 0), 0);
    EXPECT_EQ(progress_percent(10, -5), 0);
}

std::string version_lines(int32_t instrument, int32_t appl, int32_t dsp) {
    testing::internal::CaptureStdout();
    print_version_lines(instrument, appl, dsp);
    return testing::internal::GetCapturedStdout();
}

TEST(VersionLines, OneLineForAnInstrumentWithOnlyItsOwnVersion) {
    EXPECT_EQ(version_lines(20000620, 0, 0), "S/W Version (instrument): 20000620\n");
    EXPECT_EQ(version_lines(-3, 0, 0), "S/W Version (instrument): -3\n");
}

TEST(VersionLines, BootApplAndDspLinesForTheVersionsThatAreSet) {
    EXPECT_EQ(version_lines(20000620, 20070215, 20060504), "Boot Version (instrument): 20000620\n"
                                                           "Appl Version (instrument): 20070215\n"
                                                           "Dsp Version (instrument):  20060504\n");
    EXPECT_EQ(version_lines(20000620, 0, 20060504), "Boot Version (instrument): 20000620\n"
                                                    "Dsp Version (instrument):  20060504\n");
    EXPECT_EQ(version_lines(20000620, 20070215, 0), "Boot Version (instrument): 20000620\n"
                                                    "Appl Version (instrument): 20070215\n");
}

TEST(VersionLines, WithoutAnInstrumentVersionOnlyTheOthers) {
    EXPECT_EQ(version_lines(0, 0, 0), "");
    EXPECT_EQ(version_lines(0, 7, 0), "Appl Version (instrument): 7\n");
    EXPECT_EQ(version_lines(0, 0, 8), "Dsp Version (instrument):  8\n");
    EXPECT_EQ(version_lines(0, 7, 8), "Appl Version (instrument): 7\n"
                                      "Dsp Version (instrument):  8\n");
}

// The dot count is the number of dots shown so far; the boundaries are the
// behaviour's own numbers (15 dots a second apart, then two seconds apart),
// not the code's constant.
TEST(ProgrammingDots, OneASecondForTheFirstFifteen) {
    EXPECT_TRUE(dot_due(1000, 0, 0)) << "the first dot of a download comes at once";
    EXPECT_FALSE(dot_due(1000, 1000, 1));
    EXPECT_TRUE(dot_due(1001, 1000, 1));
    EXPECT_TRUE(dot_due(1001, 1000, 14)) << "the 15th dot, a second after the 14th";
}

TEST(ProgrammingDots, OnePerTwoSecondsFromTheSixteenth) {
    EXPECT_FALSE(dot_due(1001, 1000, 15)) << "the 16th dot, not a second after the 15th";
    EXPECT_TRUE(dot_due(1002, 1000, 15)) << "but two seconds after it";
    EXPECT_FALSE(dot_due(1001, 1000, 100));
}

TEST(ProgrammingDots, WaitLastsUntilTheNextDotCanBeDue) {
    // Last dot at second 1000; now 1000.250 s: the next is due at 1001.000.
    EXPECT_EQ(dot_wait_ms(1000250, 1000, 3), 751u);
    EXPECT_EQ(dot_wait_ms(1000999, 1000, 3), 2u);
    EXPECT_EQ(dot_wait_ms(1000250, 1000, 14), 751u);
    // From the 16th dot on the wait is capped at a second at a time.
    EXPECT_EQ(dot_wait_ms(1000250, 1000, 15), 1000u);
    EXPECT_EQ(dot_wait_ms(1001250, 1000, 15), 751u);
}

TEST(ProgrammingDots, ADueDotIsLookedForAgainSoon) {
    // The whole-second clock can tick a little after the fine one.
    EXPECT_EQ(dot_wait_ms(1001000, 1000, 3), 1u);
    EXPECT_EQ(dot_wait_ms(1005000, 1000, 3), 1u);
    EXPECT_EQ(dot_wait_ms(1700000000000, 0, 0), 1u);
}

// However long the reply turns out to be, the sleep through its rest ends
// within 1 ms of its LF, which lands (length - received) bytes of 10 bits on.
TEST(ReplyRest, TheNextRecordIsNeverMoreThanAMillisecondLate) {
    for (int32_t baud : {9600, 19200, 38400})
        for (int32_t shortest : {0, 4, 8, 14, 60, 750})
            for (int32_t length = 4; length <= 80; ++length)
                for (int32_t received = 1; received < length; ++received)
                    ASSERT_LE(reply_rest_us(received, shortest, baud),
                              (length - received) * 10000000 / baud + 1000);
    EXPECT_EQ(reply_rest_us(1, 8, 38400), 1562u) << "the shortest reply's rest but its LF";
}

} // namespace
