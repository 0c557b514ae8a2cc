// Reading logical script lines: continuations, the 1498-character limit,
// the lines that end a script, and both kinds of line end.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "script/script.h"

namespace {

constexpr int script_size = 1500;
constexpr std::size_t line_limit = 1498;

// A script file with the given bytes, opened "rb"; removed afterwards.
class ScriptFile {
  public:
    explicit ScriptFile(const std::string& bytes) {
        static int serial = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("kelo-script-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        std::ofstream(path_, std::ios::binary) << bytes;
        file_ = std::fopen(path_.c_str(), "rb");
    }
    ~ScriptFile() {
        if (file_) std::fclose(file_);
        std::filesystem::remove(path_);
    }
    ScriptFile(const ScriptFile&) = delete;
    ScriptFile& operator=(const ScriptFile&) = delete;
    FILE* get() const { return file_; }

  private:
    std::filesystem::path path_;
    FILE* file_ = nullptr;
};

struct Reading {
    std::vector<std::string> lines; // every logical line returned with 1
    std::string after_end;          // what the file still held after the end
};

// Reads logical lines until the reader reports the end of the script.
Reading read_all(const std::string& bytes) {
    ScriptFile script(bytes);
    Reading result;
    if (!script.get()) {
        ADD_FAILURE() << "cannot open the script file";
        return result;
    }
    // Guard bytes behind the buffer catch writes past its end.
    std::vector<char> buffer(script_size + 16, '#');
    for (int guard = 0; guard < 1000; ++guard) {
        int got = read_script_line(buffer.data(), script_size, script.get());
        for (int i = script_size; i < script_size + 16; ++i) {
            if (buffer[i] != '#') ADD_FAILURE() << "write past the buffer at " << i;
        }
        if (got == 0) break;
        EXPECT_EQ(got, 1);
        result.lines.emplace_back(buffer.data());
    }
    int c;
    while ((c = std::fgetc(script.get())) != EOF) result.after_end.push_back(static_cast<char>(c));
    return result;
}

using Lines = std::vector<std::string>;

TEST(ReadScriptLine, PhysicalLinesKeepTheirOwnLineEnds) {
    EXPECT_EQ(read_all("abc\r\nRD-1\r\n\r\nxy").lines,
              (Lines{"abc\r\n", "RD-1\r\n", "\r\n", "xy"}));
    EXPECT_EQ(read_all("abc\ndef\n").lines, (Lines{"abc\n", "def\n"}));
    EXPECT_EQ(read_all("@R\r\n@n\r\n").lines, (Lines{"@R\r\n", "@n\r\n"}));
}

TEST(ReadScriptLine, ShortLinesEndTheScript) {
    // A bare LF (files with LF line ends), a lone last character, nothing.
    Reading lf = read_all("one\n\ntwo\n");
    EXPECT_EQ(lf.lines, (Lines{"one\n"}));
    EXPECT_EQ(lf.after_end, "two\n");
    EXPECT_EQ(read_all("one\r\nx").lines, (Lines{"one\r\n"}));
    EXPECT_EQ(read_all("").lines, Lines{});
    EXPECT_EQ(read_all("\n").lines, Lines{});
    // A lone CR is a line of one character too; CR LF is two.
    EXPECT_EQ(read_all("a\r\n\r\nb\r\n").lines, (Lines{"a\r\n", "\r\n", "b\r\n"}));
}

TEST(ReadScriptLine, BackslashJoinsTheNextLine) {
    EXPECT_EQ(read_all("abc\\\r\ndef\r\nnext\r\n").lines, (Lines{"abcdef\r\n", "next\r\n"}));
    EXPECT_EQ(read_all("a\\\nb\\\nc\n").lines, (Lines{"abc\n"}));
    // Extra CRs between the backslash and the LF go with the line end.
    EXPECT_EQ(read_all("a\\\r\r\nb\r\n").lines, (Lines{"ab\r\n"}));
    // A backslash that is not last before the line end joins nothing.
    EXPECT_EQ(read_all("a\\b\r\nc\r\n").lines, (Lines{"a\\b\r\n", "c\r\n"}));
    // A line made of a backslash alone joins nothing to the next one.
    EXPECT_EQ(read_all("\\\r\nxyz\r\n").lines, (Lines{"xyz\r\n"}));
}

TEST(ReadScriptLine, BackslashOnTheLastLineIsKept) {
    EXPECT_EQ(read_all("first\r\nabc\\\r\n").lines, (Lines{"first\r\n", "abc\\\r\n"}));
    EXPECT_EQ(read_all("abc\\").lines, (Lines{"abc\\"}));
}

TEST(ReadScriptLine, ShortContinuationEndsTheScriptUnsent) {
    Reading bare = read_all("abc\\\n\nlater\n");
    EXPECT_EQ(bare.lines, Lines{});
    EXPECT_EQ(bare.after_end, "later\n");
    EXPECT_EQ(read_all("x\r\nabc\\\r\nd").lines, (Lines{"x\r\n"}));
}

TEST(ReadScriptLine, LongPhysicalLineIsSplitAtTheLimit) {
    std::string text(line_limit + 300, 'a');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    Reading r = read_all(text + "\r\nend\r\n");
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0], text.substr(0, line_limit));
    EXPECT_EQ(r.lines[1], text.substr(line_limit) + "\r\n");
    EXPECT_EQ(r.lines[2], "end\r\n");

    // Exactly the limit plus its line end: the line end is a rest of two.
    Reading exact = read_all(std::string(line_limit, 'b') + "\r\nend\r\n");
    EXPECT_EQ(exact.lines, (Lines{std::string(line_limit, 'b'), "\r\n", "end\r\n"}));
    // A rest of one character ends the script.
    Reading one = read_all(std::string(line_limit, 'c') + "\nend\n");
    EXPECT_EQ(one.lines, (Lines{std::string(line_limit, 'c')}));
    EXPECT_EQ(one.after_end, "end\n");
}

TEST(ReadScriptLine, JoinedLineNeverExceedsTheLimit) {
    // Four physical lines of 500 characters, each continued: the logical
    // line stops at 1498 characters and the rest comes as the next line.
    std::string script;
    std::string joined;
    for (int i = 0; i < 4; ++i) {
        std::string part(500, static_cast<char>('k' + i));
        script += part + (i < 3 ? "\\\r\n" : "\r\n");
        joined += part;
    }
    Reading r = read_all(script + "tail\r\n");
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_EQ(r.lines[0], joined.substr(0, line_limit));
    EXPECT_EQ(r.lines[1], joined.substr(line_limit) + "\r\n");
    EXPECT_EQ(r.lines[2], "tail\r\n");
}

TEST(ReadScriptLine, BackslashAtTheLimitIsSplitLikeAnyLongLine) {
    // The 1498th character is a backslash whose line end lies beyond the
    // limit: it marks no continuation, and the script goes on.
    std::string head(line_limit - 1, 'h');
    Reading mid = read_all(head + "\\abc\r\nlast\r\n");
    EXPECT_EQ(mid.lines, (Lines{head + "\\", "abc\r\n", "last\r\n"}));
    Reading crlf = read_all(head + "\\\r\nxyz\r\n");
    EXPECT_EQ(crlf.lines, (Lines{head + "\\", "\r\n", "xyz\r\n"}));
    // The rest of an LF-only line is a single LF: the end, as for any split.
    Reading lf = read_all(head + "\\\nlast\n");
    EXPECT_EQ(lf.lines, (Lines{head + "\\"}));
    EXPECT_EQ(lf.after_end, "last\n");
    // A file that ends right after such a backslash keeps it.
    EXPECT_EQ(read_all(head + "\\").lines, (Lines{head + "\\"}));
}

} // namespace
