// The image check: size, the first two lines at image_offset, the hand-over
// of a script, and the messages of every failure.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "image/image.h"
#include "image_test_support.h"
#include "shared/shared.h"

// Stands in for the script player, which the test executable does not link:
// records what it was handed, closes the file as the player does.
namespace script_double {
int calls = 0;
std::string name;
std::string rest;
} // namespace script_double

void play_script(const char* name, FILE* file) {
    ++script_double::calls;
    script_double::name = name;
    script_double::rest.clear();
    int c;
    while ((c = std::fgetc(file)) != EOF) script_double::rest += static_cast<char>(c);
    std::fclose(file);
}

namespace {

constexpr char header[] = "S00600004844521B\r\n";
constexpr char first_record[] = "S319000007FC01312F6C0000000000000000000000000000000056\r\n";

class CheckImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_image_state();
        script_double::calls = 0;
    }
    void TearDown() override { reset_image_state(); }

    // Runs check_image on path and returns what it printed.
    std::string check(const std::string& path, int expected_result) {
        StdoutCapture capture;
        int result = check_image(path.c_str());
        std::string printed = capture.finish();
        EXPECT_EQ(result, expected_result) << printed;
        EXPECT_EQ(run_outcome, expected_result == -1 ? run_file_error : run_ok) << printed;
        return printed;
    }
};

constexpr char end_record[] = "S70500000000FA\r\n";

TEST_F(CheckImageTest, ImageBeginningWithS0AndS3IsAccepted) {
    std::string content = std::string(header) + first_record + "garbage\r\n" + end_record;
    TempFile file(content);
    EXPECT_EQ(check(file.path(), 0), "");
    EXPECT_EQ(image_length, static_cast<int32_t>(content.size()));
    EXPECT_STREQ(reply_line, first_record);
}

TEST_F(CheckImageTest, ReplicaIsAccepted) {
    TempFile file;
    make_image(file, "");
    EXPECT_EQ(check(file.path(), 0), "");
    EXPECT_EQ(image_length, 969826);
}

// The bytes this process has read so far.
int64_t bytes_read() {
    std::FILE* io = std::fopen("/proc/self/io", "r");
    long long count = 0;
    if (io != nullptr && std::fscanf(io, "rchar: %lld", &count) != 1) count = 0;
    if (io != nullptr) std::fclose(io);
    return count;
}

// The report on an image: the replica's sections as the generator made
// them; a record with a broken checksum counted; a cut image refused; blank
// lines are no records; a sparse file read no further than its image; what
// is no regular file refused as the download refuses it.
TEST_F(CheckImageTest, ReportOnAnImage) {
    TempFile file;
    make_image(file, "");
    std::string text = file.read();
    size_t record = text.find("S3", text.find("S00", 1)); // the application's first
    std::string broken = text.substr(0, record + 12) + (text[record + 12] == '0' ? "1" : "0") +
                         text.substr(record + 13);
    std::string blank_lines = text;
    for (size_t at = 100000; (at = blank_lines.find("\nS3", at)) != std::string::npos; at += 9000)
        blank_lines.insert(at + 1, "\r\n\n");
    const struct {
        std::string content;
        int status;
        std::string shown;
        int64_t size = 0;      // the file made this long, sparse
        std::string path = ""; // reported instead of the file
        std::string err = "";  // on standard error
    } cases[] = {
        {text, 0,
         "section 1: boot v20000620, 1670 records (1668 with data, 33334 data bytes), addresses "
         "0 to 8a24, closed by S7: yes, 0 with a wrong byte count or checksum\n"
         "  section 2: application v20070215, 11725 records (11723 with data, 234444 data bytes), "
         "addresses 40000 to 793c8, closed by S7: yes, 0 with a wrong byte count or checksum\n"
         "  section 3: dsp v20060504, 2896 records (2894 with data, 86804 data bytes), addresses "
         "20000 to 2a981, closed by S7: yes, 0 with a wrong byte count or checksum\n"
         "  image: 16291 records\n"
         "  on the wire (the records, without the replies): 4 min 17 s at 38400 baud, 8 min 34 s "
         "at 19200 baud, 17 min 08 s at 9600 baud\n  check: the download takes this image\n"},
        {broken, 0, "closed by S7: yes, 1 with a wrong byte count or checksum\n  section 3"},
        {text.substr(0, text.rfind("S7")), 1,
         "closed by S7: no, 0 with a wrong byte count or checksum\n  image: 16290 records\n"},
        {blank_lines, 0,
         "addresses 20000 to 2a981, closed by S7: yes, 0 with a wrong byte count "
         "or checksum\n  image: 16291 records\n"},
        // Read up to the first line of the hole, as the download reads it.
        {text, 0,
         "file: 3221225472 bytes; the image from offset 0: 3221225472 bytes\n"
         "  section 1: boot v20000620, 1670 records",
         int64_t{3} << 30},
        {"", 1, "Image report: /\nCannot open the download file: /\n", 0, "/",
         "kelo: /: a folder, not a regular file\n"},
        {"", 1, "Image report: /dev/null\n", 0, "/dev/null", "a device, not a download file"},
    };
    for (const auto& c : cases) {
        reset_image_state();
        file.write(c.content);
        if (c.size > 0) {
            ASSERT_EQ(truncate(file.path().c_str(), c.size), 0);
        }
        int64_t read_before = bytes_read();
        StdoutCapture capture;
        testing::internal::CaptureStderr();
        int status = image_report((c.path.empty() ? file.path() : c.path).c_str());
        std::string err = testing::internal::GetCapturedStderr();
        std::string shown = capture.finish();
        EXPECT_EQ(status, c.status) << shown;
        EXPECT_NE(shown.find(c.shown), std::string::npos) << shown;
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
        EXPECT_LT(bytes_read() - read_before, 64 << 20) << shown;
    }
}

TEST_F(CheckImageTest, EachFormatFaultHasItsMessage) {
    struct Case {
        std::string content;
        const char* printed;
        const char* last_line; // reply_line afterwards
    } cases[] = {
        {"", "Invalid download file format (E1)\n", "before"},
        {"s0060000\r\nS3\r\n", "Invalid download file format (E2)\n", "s0060000\r\n"},
        {"\r\nS3\r\n", "Invalid download file format (E2)\n", "\r\n"},
        {" S0\r\nS3\r\n", "Invalid download file format (E2)\n", " S0\r\n"},
        {"S", "Invalid download file format (E2)\n", "S"},
        {header, "Invalid download file format (E3)\n", header},
        {"S0", "Invalid download file format (E3)\n", "S0"},
        {std::string(header) + "S1130000\r\n", "Invalid download file format (E4)\n",
         "S1130000\r\n"},
        {std::string(header) + "s3\r\n", "Invalid download file format (E4)\n", "s3\r\n"},
        {std::string(header) + header, "Invalid download file format (E4)\n", header},
        // Only the first two characters of each line count.
        {"S0\nS3", "", "S3"},
    };
    for (const Case& c : cases) {
        reset_image_state();
        std::strcpy(reply_line, "before");
        TempFile file(c.content);
        EXPECT_EQ(check(file.path(), c.printed[0] ? -1 : 0), c.printed) << c.content;
        EXPECT_STREQ(reply_line, c.last_line) << c.content;
        EXPECT_EQ(image_length, static_cast<int32_t>(c.content.size()));
    }
}

// A partial copy is refused before anything is sent: a section the reader
// recognises (an S0 line with two lines behind it) and the download sends
// must be closed by an S7 line before the next recognised header or the end.
// What the reader does not take for a header, sections it drops, and what
// comes after an S7, are left as they were.
TEST_F(CheckImageTest, ImageCutInsideASectionIsRefused) {
    const std::string s0 = header;
    const std::string s3 = first_record; // boot code, version 20000620
    const std::string app = "S31500040000000001323F4700000000000000000000000000\r\n";
    const std::string unknown = "S31500010000000000000000000000000000000000000000\r\n";
    const std::string s7 = end_record;
    const std::string nul_line = std::string(1, '\0') + "S3\r\n";
    struct Case {
        std::string content;
        int unclosed; // the section reported, 0: accepted
        int32_t instrument = 0;
        int force = 0;
    } cases[] = {
        {s0 + s3 + s7 + s0 + s0 + s3 + s3 + s7, 0}, // the first S0 opens an unknown section
        {s0 + s3 + s7 + s0 + s0 + s3 + s3, 3},
        {s0 + s3 + s3 + s0 + app + app + s7, 0, 20000620}, // boot code skipped
        {s0 + s3 + s3 + s0 + app + app + s7, 1, 20000620, 1},
        {s0 + s3 + s3 + s0 + app + app + s7, 1, 20000619},
        {s0 + unknown + s3 + s0 + app + app + s7, 0},
        {s0 + app + s7 + s0 + unknown + unknown, 0},
        {s0 + app + s3 + s0 + unknown + unknown, 1},
        {s0 + s3 + s3, 1},
        {s0 + s3 + s3 + s7 + s0 + s3 + s3, 2},
        {s0 + s3 + s0 + s3 + s3 + s7, 1}, // the next header came first
        {s0 + s3 + s3 + s7 + s0 + s3, 0}, // an S0 among the last two lines is no header
        {s0 + s3 + s7 + s3 + s3, 0},      // records after the S7 go out with it
        {s0 + s3 + nul_line + s7, 1},     // the reader ends at a line starting with NUL
        {s0 + s3 + s7 + nul_line + s0 + s3 + s3, 0},
        {s0 + s3 + std::string(150, '7') + "\r\n", 0}, // a piece whose second character is 7
    };
    for (const Case& c : cases) {
        reset_image_state();
        instrument_version = c.instrument;
        opt_force = c.force;
        TempFile file(c.content);
        std::string expected = c.unclosed == 0
                                   ? ""
                                   : "Invalid download file format (E6): section " +
                                         std::to_string(c.unclosed) + " has no S7 end record\n";
        EXPECT_EQ(check(file.path(), c.unclosed == 0 ? 0 : -1), expected) << c.content;
    }
    // The replica cut short at any line inside its DSP section.
    TempFile replica;
    make_image(replica, "");
    std::string text = replica.read();
    size_t cut = text.rfind("S3", text.rfind("S7"));
    reset_image_state();
    replica.write(text.substr(0, cut));
    EXPECT_EQ(check(replica.path(), -1),
              "Invalid download file format (E6): section 3 has no S7 end record\n");
}

TEST_F(CheckImageTest, FirstLineIsReadWithTheLimitOf99Characters) {
    // 97 characters and CR LF are read whole; one more splits the line, and
    // its rest is taken for the second line.
    std::string whole = "S0" + std::string(95, '0') + "\r\n";
    std::string split = "S0" + std::string(96, '0') + "\r\n";
    std::string longer = "S0" + std::string(150, '0') + "\r\n";
    TempFile file(whole + first_record);
    EXPECT_EQ(check(file.path(), 0), "");
    for (const std::string& line : {split, longer}) {
        reset_image_state();
        file.write(line + first_record);
        EXPECT_EQ(check(file.path(), -1), "Invalid download file format (E4)\n");
        EXPECT_EQ(std::string(reply_line), line.substr(99, 99));
    }
}

TEST_F(CheckImageTest, MissingFileCannotBeOpened) {
    std::string path = ::testing::TempDir() + "kelo-no-such-image.s19";
    image_length = 1234;
    EXPECT_EQ(check(path, -1), "Cannot open the download file: " + path + "\n");
    EXPECT_EQ(image_length, 1234);
}

TEST_F(CheckImageTest, UnreadableFileIsReportedAndItsLengthIsSet) {
    TempFile file(std::string(header) + first_record);
    chmod(file.path().c_str(), 0);
    std::FILE* probe = std::fopen(file.path().c_str(), "rb");
    if (probe != nullptr) {
        std::fclose(probe);
        GTEST_SKIP() << "running with rights that read any file";
    }
    EXPECT_EQ(check(file.path(), -1), "Cannot open the download file: " + file.path() + "\n");
    EXPECT_EQ(image_length, static_cast<int32_t>(std::strlen(header) + std::strlen(first_record)));
}

TEST_F(CheckImageTest, SocketExistsButCannotBeOpened) {
    // A socket has a size but no contents to read, whatever the rights.
    std::string path = ::testing::TempDir() + "kelo-image-socket-" + std::to_string(getpid());
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    image_length = 1234;
    EXPECT_EQ(check(path, -1), "Cannot open the download file: " + path + "\n");
    EXPECT_EQ(image_length, 0);
    close(fd);
    unlink(path.c_str());
}

TEST_F(CheckImageTest, ImageAppendedToTheProgramFile) {
    TempFile image;
    make_image(image, "--section app,records=3");
    std::string program(static_cast<std::size_t>(program_file_size), '\0');
    // The program's own bytes may end without a line end: the image is found
    // by its offset, not by the line structure before it.
    program.back() = 'x';
    TempFile file(program + image.read());
    image_offset = program_file_size;
    EXPECT_EQ(check(file.path(), 0), "");
    EXPECT_EQ(image_length, static_cast<int32_t>(image.read().size()));
    EXPECT_STREQ(reply_line, fgets_lines(image.path())[1].c_str());
}

TEST_F(CheckImageTest, ProgramFileWithoutImageFailsWithE1) {
    TempFile file(std::string(static_cast<std::size_t>(program_file_size), 'M'));
    image_offset = program_file_size;
    EXPECT_EQ(check(file.path(), -1), "Invalid download file format (E1)\n");
    EXPECT_EQ(image_length, 0);

    // A file shorter than the offset: no line there either.
    reset_image_state();
    file.write("S0\r\nS3\r\n");
    image_offset = program_file_size;
    EXPECT_EQ(check(file.path(), -1), "Invalid download file format (E1)\n");
    EXPECT_EQ(image_length, 8 - program_file_size);
}

TEST_F(CheckImageTest, OffsetZeroReadsFromTheStart) {
    TempFile file(std::string(header) + first_record);
    image_offset = 0;
    EXPECT_EQ(check(file.path(), 0), "");
    image_offset = 2; // "0060000..." is no header
    EXPECT_EQ(check(file.path(), -1), "Invalid download file format (E2)\n");
}

// --- hand-over to the script player ----------------------------------------

TEST_F(CheckImageTest, ScriptIsPlayedFromItsSecondLine) {
    TempFile file("@N\r\nRD-1\r\n@S\r\n");
    EXPECT_EQ(check(file.path(), 1), "");
    EXPECT_EQ(script_double::calls, 1);
    EXPECT_EQ(script_double::name, file.path());
    EXPECT_EQ(script_double::rest, "RD-1\r\n@S\r\n");
}

TEST_F(CheckImageTest, RestOfALongFirstScriptLineIsNotPlayed) {
    std::string first = "@" + std::string(150, 'X');
    for (const char* end : {"\r\n", "\n", ""}) {
        reset_image_state();
        script_double::calls = 0;
        TempFile file(first + end + "line two\r\n");
        EXPECT_EQ(check(file.path(), 1), "");
        EXPECT_EQ(script_double::calls, 1);
        EXPECT_EQ(script_double::rest, end[0] ? "line two\r\n" : "") << "end " << std::strlen(end);
    }
    // Exactly 99 characters before the LF: only the LF remains of the line.
    TempFile file("@" + std::string(98, 'Y') + "\nline two\n");
    EXPECT_EQ(check(file.path(), 1), "");
    EXPECT_EQ(script_double::rest, "line two\n");
}

TEST_F(CheckImageTest, ScriptAppendedToTheProgramFile) {
    TempFile file(std::string(static_cast<std::size_t>(program_file_size), '@') + "@R\nhello\n");
    image_offset = program_file_size;
    EXPECT_EQ(check(file.path(), 1), "");
    EXPECT_EQ(script_double::rest, "hello\n");
}

} // namespace
