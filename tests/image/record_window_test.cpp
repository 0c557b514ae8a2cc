// The record reader: the three-line look-ahead, the section headers it
// recognises, and strip_line_end.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "image/image.h"
#include "image/record_window.h"
#include "image_test_support.h"
#include "shared/shared.h"

namespace {

constexpr char header[] = "S00600004844521B\r\n";

class RecordWindowTest : public ::testing::Test {
  protected:
    void SetUp() override { reset_image_state(); }
    void TearDown() override { reset_image_state(); }

    // Reads an image made by the generator with the given arguments.
    std::vector<HandedLine> read_generated(const std::string& arguments) {
        TempFile image;
        make_image(image, arguments);
        return read_all_lines(image.path());
    }
};

std::vector<std::string> texts(const std::vector<HandedLine>& lines) {
    std::vector<std::string> result;
    for (const HandedLine& line : lines) result.push_back(line.text);
    return result;
}

// --- the window hands out every line once, in order -----------------------

TEST_F(RecordWindowTest, ReplicaIsHandedOutLineByLineWithItsThreeSections) {
    TempFile image;
    make_image(image, "");
    instrument_version = 20000619;
    std::vector<HandedLine> lines = read_all_lines(image.path(), 0, 5);

    EXPECT_EQ(texts(lines), fgets_lines(image.path()));
    ASSERT_EQ(lines.size(), 16291u);
    long bytes = 0;
    for (const HandedLine& line : lines) {
        EXPECT_EQ(line.length, static_cast<int>(line.text.size()));
        bytes += line.length;
    }
    EXPECT_EQ(bytes, 969826);

    // Each section's header is announced before its S0 line is handed out.
    EXPECT_EQ(lines[0].printed, "\nBoot Code (v20000620)\n");
    EXPECT_EQ(lines[1670].printed, "\nApplication Code (v20070215)\n");
    EXPECT_EQ(lines[13395].printed, "\n\nDsp Code (v20060504)");
    EXPECT_EQ(all_printed(lines), lines[0].printed + lines[1670].printed + lines[13395].printed);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        int expected = i < 1670 ? 'B' : i < 13395 ? 'A' : 'D';
        ASSERT_EQ(lines[i].section_mode, expected) << "line " << i + 1;
    }
    EXPECT_EQ(lines.back().text, "S70500000000FA\r\n");
}

TEST_F(RecordWindowTest, ShortFilesAreHandedOutWhole) {
    for (const std::string& content : {std::string(""), std::string("S1\n"), std::string("a\r\nb"),
                                       std::string("1\n2\n3\n"), std::string("1\n2\n3\n4\n5")}) {
        reset_image_state();
        TempFile file(content);
        EXPECT_EQ(texts(read_all_lines(file.path(), 0, 4)), fgets_lines(file.path()))
            << "file: " << content;
    }
}

TEST_F(RecordWindowTest, LongLinesAreHandedOutInPiecesOf99Characters) {
    std::string long_line = "S3" + std::string(148, '7') + "\r\n"; // 152 characters
    std::string longest_whole = std::string(97, 'A') + "\r\n";
    std::string just_too_long = std::string(98, 'B') + "\r\n";
    TempFile file(long_line + longest_whole + just_too_long + "end\n");
    std::vector<std::string> expected = {
        long_line.substr(0, 99),     long_line.substr(99),     longest_whole,
        just_too_long.substr(0, 99), just_too_long.substr(99), "end\n"};
    EXPECT_EQ(texts(read_all_lines(file.path())), expected);
}

TEST_F(RecordWindowTest, LineStartingWithNulHasLengthZero) {
    TempFile file(std::string("S1\r\n") + std::string(1, '\0') + "S3\r\nS7\r\n");
    std::FILE* stream = std::fopen(file.path().c_str(), "rb");
    char buffer[image_line_size];
    EXPECT_EQ(read_image_line(buffer, image_line_size, stream), 4);
    EXPECT_EQ(read_image_line(buffer, image_line_size, stream), 0);
    EXPECT_EQ(buffer[0], '\0');
    std::fclose(stream);
}

TEST_F(RecordWindowTest, ImageIsReadFromTheCallersPosition) {
    TempFile image;
    make_image(image, "--section app,records=2");
    std::string prefix(1000, '\xAA');
    TempFile program(prefix + image.read());
    std::vector<HandedLine> lines = read_all_lines(program.path(), 1000);
    EXPECT_EQ(texts(lines), fgets_lines(image.path()));
    EXPECT_EQ(lines[0].printed, "\nApplication Code (v20070215)\n");
}

TEST_F(RecordWindowTest, RebootPendingIsClearedByEveryCall) {
    TempFile file("S0\r\nS3\r\n");
    std::FILE* stream = std::fopen(file.path().c_str(), "rb");
    char buffer[image_line_size];
    for (int call = 0; call < 4; ++call) {
        reboot_pending = 1;
        int length = read_image_line(buffer, image_line_size, stream);
        EXPECT_EQ(length, call < 2 ? 4 : 0);
        EXPECT_EQ(reboot_pending, 0) << "call " << call + 1;
    }
    std::fclose(stream);
}

// --- when a header is checked -----------------------------------------------

TEST_F(RecordWindowTest, TwoLineFileIsNeverCheckedAsAHeader) {
    TempFile file(std::string(header) +
                  "S319000007FC01312F6C0000000000000000000000000000000056\r\n");
    std::vector<HandedLine> lines = read_all_lines(file.path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(all_printed(lines), "");
    EXPECT_EQ(lines[0].section_mode, 0);
    EXPECT_EQ(lines[1].section_mode, 0);
}

TEST_F(RecordWindowTest, HeaderAmongTheLastTwoLinesKeepsThePreviousMode) {
    for (int trailing : {1, 0}) {
        reset_image_state();
        TempFile image;
        // A second application header whose records would name DSP code,
        // followed by one line or none.
        make_image(image, "--section app,records=3");
        std::string tail =
            std::string(header) +
            "S323000200000000000000000000000000000000000000000000000000000000000000DC\r\n";
        if (trailing == 0) tail = header;
        TempFile file(image.read() + tail);
        std::vector<HandedLine> lines = read_all_lines(file.path());
        ASSERT_EQ(lines.size(), 5u + (trailing ? 2 : 1));
        EXPECT_EQ(all_printed(lines), "\nApplication Code (v20070215)\n");
        EXPECT_EQ(lines.back().section_mode, 'A');
    }
}

TEST_F(RecordWindowTest, OnlyUpperCaseS0StartsAHeader) {
    TempFile image;
    make_image(image, "--section boot,records=2");
    std::string content = image.read();
    content[1] = 'O'; // "SO" is no header
    TempFile file(content);
    EXPECT_EQ(all_printed(read_all_lines(file.path())), "");
    content[0] = 's';
    content[1] = '0';
    file.write(content);
    reset_image_state();
    EXPECT_EQ(all_printed(read_all_lines(file.path())), "");
}

TEST_F(RecordWindowTest, TwoHeadersInARowGiveE5ThenTheSecondIsRecognised) {
    TempFile image;
    make_image(image, "--section app,records=2 --insert 1=S00600004844521B");
    std::vector<HandedLine> lines = read_all_lines(image.path());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].printed, "Invalid download file format (E5)\n");
    EXPECT_EQ(lines[0].section_mode, 0);
    EXPECT_EQ(lines[1].printed, "\nApplication Code (v20070215)\n");
    EXPECT_EQ(lines[1].section_mode, 'A');
}

TEST_F(RecordWindowTest, BlankLineBehindAHeaderHidesTheSection) {
    // The blank line is taken for the first record: address 0, E5.
    std::vector<HandedLine> lines = read_generated("--section boot,records=3 --blank 2");
    EXPECT_EQ(all_printed(lines), "Invalid download file format (E5)\n");
    for (const HandedLine& line : lines) EXPECT_EQ(line.section_mode, 0);
}

// --- section kinds by address -----------------------------------------------

TEST_F(RecordWindowTest, EveryKnownAddressNamesItsKind) {
    struct Case {
        const char* arguments;
        const char* printed;
        int mode;
    } cases[] = {
        {"--section boot,address=0x7FC,version=5", "\nBoot Code (v5)\n", 'B'},
        {"--section boot,address=0x800,version=5", "\nBoot Code (v5)\n", 'B'},
        {"--section app,address=0x8000,version=7", "\nApplication Code (v7)\n", 'A'},
        {"--section app,address=0x40000,version=7", "\nApplication Code (v7)\n", 'A'},
        {"--section dsp,address=0x20000,version=0x12345678", "\n\nDsp Code (v305419896)", 'D'},
        {"--section dsp,address=0x30000,version=0x12345678", "\n\nDsp Code (v305419896)", 'D'},
        {"--section boot,address=0x10000", "Invalid download file format (E5)\n", 0},
        {"--section app,address=0x7FD", "Invalid download file format (E5)\n", 0},
    };
    for (const Case& c : cases) {
        reset_image_state();
        std::vector<HandedLine> lines = read_generated(c.arguments);
        EXPECT_EQ(all_printed(lines), c.printed) << c.arguments;
        for (const HandedLine& line : lines) EXPECT_EQ(line.section_mode, c.mode) << c.arguments;
    }
}

TEST_F(RecordWindowTest, ByteCountNeverChangesTheAddress) {
    const std::string rest = "000007FC01312F6C00000000000000000000000000000000\r\n";
    for (const char* count : {"19", "FF", "00", "1F", "  "}) {
        reset_image_state();
        instrument_version = 1;
        TempFile file(std::string(header) + "S3" + count + rest + "S70500000802F0\r\n");
        EXPECT_EQ(all_printed(read_all_lines(file.path())), "\nBoot Code (v20000620)\n")
            << "count " << count;
    }
}

TEST_F(RecordWindowTest, UnknownSectionsAreDroppedAndTheNextOneIsRecognised) {
    std::vector<HandedLine> lines = read_generated(
        "--section boot,address=0x10000,records=2 --section app,address=0x7FFF,records=2 "
        "--section dsp,records=2");
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(all_printed(lines), "Invalid download file format (E5)\n"
                                  "Invalid download file format (E5)\n"
                                  "\n\nDsp Code (v20060504)");
    for (int i = 0; i < 8; ++i) EXPECT_EQ(lines[i].section_mode, 0);
    for (int i = 8; i < 12; ++i) EXPECT_EQ(lines[i].section_mode, 'D');
}

TEST_F(RecordWindowTest, SingleRecordSectionUsesItsEndLineAsSecondRecord) {
    std::vector<HandedLine> lines = read_generated("--section app,records=1");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].printed, "\nApplication Code (v20070215)\n");
}

// --- boot code against the instrument's version -----------------------------

TEST_F(RecordWindowTest, BootCodeIsSentOnlyWhenNewerOrForced) {
    struct Case {
        int32_t instrument;
        int force;
        const char* version;
        const char* printed;
        int mode;
    } cases[] = {
        {20000620, 0, "20000620", "\nBoot Code (v20000620)...skipping\n", 0},
        {20000619, 0, "20000620", "\nBoot Code (v20000620)\n", 'B'},
        {20000621, 0, "20000620", "\nBoot Code (v20000620)...skipping\n", 0},
        {20000621, 1, "20000620", "\nBoot Code (v20000620)\n", 'B'},
        {0, 0, "1", "\nBoot Code (v1)\n", 'B'},
        {0, 0, "0", "\nBoot Code (v0)...skipping\n", 0},
        {0, 1, "0", "\nBoot Code (v0)\n", 'B'},
        // Versions are signed: 0xFFFFFFFF is -1, older than anything.
        {0, 0, "0xFFFFFFFF", "\nBoot Code (v-1)...skipping\n", 0},
        {-2, 0, "0xFFFFFFFF", "\nBoot Code (v-1)\n", 'B'},
    };
    for (const Case& c : cases) {
        reset_image_state();
        instrument_version = c.instrument;
        opt_force = c.force;
        std::vector<HandedLine> lines =
            read_generated(std::string("--section boot,records=3,version=") + c.version);
        EXPECT_EQ(all_printed(lines), c.printed) << c.version << " vs " << c.instrument;
        for (const HandedLine& line : lines) EXPECT_EQ(line.section_mode, c.mode);
    }
}

TEST_F(RecordWindowTest, SkippedBootSectionLeavesModeZeroUntilTheNextHeader) {
    instrument_version = 20990101;
    std::vector<HandedLine> lines =
        read_generated("--section boot,records=2 --section app,records=2");
    ASSERT_EQ(lines.size(), 8u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[i].section_mode, 0);
    for (int i = 4; i < 8; ++i) EXPECT_EQ(lines[i].section_mode, 'A');
    EXPECT_EQ(all_printed(lines),
              "\nBoot Code (v20000620)...skipping\n\nApplication Code (v20070215)\n");
}

// --- version fields ---------------------------------------------------------

TEST_F(RecordWindowTest, VersionFieldsAreReadFromTheirCharactersOnly) {
    struct Case {
        std::string first;  // first record behind the header
        std::string second; // second record
        const char* printed;
    } cases[] = {
        // Digits right behind the boot field do not count.
        {"S309000007FC0000000AFF\r\n", "S7\r\n", "\nBoot Code (v10)\n"},
        // A field that stops early at a non-digit.
        {"S309000007FC00012G0000\r\n", "S7\r\n", "\nBoot Code (v18)\n"},
        // No digit at all reads 0; leading blanks are skipped.
        {"S309000007FCXX000001\r\n", "S7\r\n", "\nBoot Code (v0)...skipping\n"},
        {"S309000007FC   12345\r\n", "S7\r\n", "\nBoot Code (v74565)\n"},
        // Lines that end inside or before the field.
        {"S309000007FC013\r\n", "S7\r\n", "\nBoot Code (v19)\n"},
        {"S309000007FC\r\n", "S7\r\n", "\nBoot Code (v0)...skipping\n"},
        {"S30900040000FFFF00000100FF\r\n", "S7\r\n", "\nApplication Code (v256)\n"},
        {"S3090004000000ABCD\r\n", "S7\r\n", "\nApplication Code (v205)\n"},
        // DSP: the word at 60..63 is the high word; a line that ends inside
        // it ends the field.
        {"S30900020000\r\n", std::string("S3") + std::string(54, '0') + "00050001" + "\r\n",
         "\n\nDsp Code (v65541)"},
        {"S30900020000\r\n", std::string("S3") + std::string(54, '0') + "0005AB\r\n",
         "\n\nDsp Code (v171)"},
        {"S30900020000\r\n", std::string("S3") + std::string(54, '0') + "0005\r\n",
         "\n\nDsp Code (v0)"},
        // A short first record: no address, E5.
        {"S3\r\n", "S7\r\n", "Invalid download file format (E5)\n"},
    };
    for (const Case& c : cases) {
        reset_image_state();
        instrument_version = 1;
        TempFile file(std::string(header) + c.first + c.second + "S70500000000FA\r\n");
        EXPECT_EQ(all_printed(read_all_lines(file.path())), c.printed) << c.first << c.second;
    }
}

TEST_F(RecordWindowTest, ShortLineDoesNotReadTheRestOfAnEarlierLine) {
    // The second record behind the header is short; behind its NUL its slot
    // still holds the first record's digits, which must not be taken for the
    // version.
    std::string long_record = "S32300020000" + std::string(44, '1') + "ABCD1234" + "0000000000\r\n";
    ASSERT_EQ(long_record.size(), 76u);
    TempFile file("S7\r\n" + std::string(header) + long_record + "S3\r\n" + "S7\r\n");
    instrument_version = 1;
    std::vector<HandedLine> lines = read_all_lines(file.path());
    EXPECT_EQ(all_printed(lines), "\n\nDsp Code (v0)");
}

TEST(HexField, ReadsAtMostTheGivenCharactersInThirtyTwoBits) {
    EXPECT_EQ(read_hex_field("S319000007FC", 3, 9), 0x7FCu);
    EXPECT_EQ(read_hex_field("S3FF000007FC", 3, 9), 0x7FCu);
    EXPECT_EQ(read_hex_field("S3FF000007FC1", 3, 9), 0x7FCu);
    EXPECT_EQ(read_hex_field("abcdef", 0, 6), 0xABCDEFu);
    EXPECT_EQ(read_hex_field("abcdef", 2, 2), 0xCDu);
    EXPECT_EQ(read_hex_field("ab", 1, 8), 0xBu);
    EXPECT_EQ(read_hex_field("ab", 2, 8), 0u);
    EXPECT_EQ(read_hex_field("ab", 9, 8), 0u);
    EXPECT_EQ(read_hex_field(" \t1z", 0, 8), 1u);
    EXPECT_EQ(read_hex_field("    1", 0, 4), 0u);
    EXPECT_EQ(read_hex_field("-1", 0, 2), 0u);
}

// --- strip_line_end ---------------------------------------------------------

TEST(StripLineEnd, RemovesEveryTrailingCarriageReturnAndLineFeed) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"S70500000000FA\r\n", "S70500000000FA"},
        {"\r\n\r\n", ""},
        {"a\r\nb", "a\r\nb"},
        {"", ""},
        {"x\n\r\n\r", "x"},
        {"\r x\n", "\r x"},
        {"abc", "abc"},
    };
    for (const Case& c : cases) {
        char text[32];
        std::strcpy(text, c.in);
        strip_line_end(text);
        EXPECT_STREQ(text, c.out) << "input length " << std::strlen(c.in);
    }
}

} // namespace
