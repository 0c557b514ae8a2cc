#include "image_test_support.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "image/image.h"
#include "image/record_window.h"
#include "shared/shared.h"

namespace {

std::string unique_temp_path() {
    static std::atomic<int> counter{0};
    std::ostringstream name;
    name << ::testing::TempDir() << "kelo-image-" << getpid() << "-" << counter++;
    return name.str();
}

} // namespace

TempFile::TempFile() : path_(unique_temp_path()) {
    write("");
}

TempFile::TempFile(const std::string& content) : path_(unique_temp_path()) {
    write(content);
}

TempFile::~TempFile() {
    std::remove(path_.c_str());
}

void TempFile::write(const std::string& content) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path_);
}

std::string TempFile::read() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void make_image(const TempFile& file, const std::string& arguments) {
    std::string command = std::string("'") + KELO_PYTHON + "' '" + KELO_MKIMAGE + "' " + arguments +
                          " -o '" + file.path() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    saved_fd_ = dup(STDOUT_FILENO);
    std::FILE* sink = std::fopen(sink_.path().c_str(), "wb");
    if (saved_fd_ < 0 || sink == nullptr) throw std::runtime_error("cannot capture stdout");
    dup2(fileno(sink), STDOUT_FILENO);
    std::fclose(sink);
}

StdoutCapture::~StdoutCapture() {
    finish();
}

std::string StdoutCapture::finish() {
    if (saved_fd_ < 0) return "";
    std::fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    saved_fd_ = -1;
    return sink_.read();
}

void reset_image_state() {
    record_window = RecordWindow{};
    section_mode = 0;
    reboot_pending = 0;
    opt_force = 0;
    instrument_version = 0;
    image_offset = 0;
    image_length = 0;
    reply_line[0] = '\0';
    run_outcome = run_ok;
}

std::vector<HandedLine> read_all_lines(const std::string& path, long offset, int extra) {
    std::vector<HandedLine> lines;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) throw std::runtime_error("cannot open " + path);
    std::fseek(file, offset, SEEK_SET);
    char buffer[image_line_size];
    for (;;) {
        StdoutCapture capture;
        int length = read_image_line(buffer, image_line_size, file);
        std::string printed = capture.finish();
        if (length == 0) {
            EXPECT_EQ(buffer[0], '\0');
            EXPECT_EQ(printed, "");
            break;
        }
        lines.push_back({buffer, length, section_mode, printed});
    }
    for (int call = 0; call < extra; ++call) {
        buffer[0] = 'x';
        EXPECT_EQ(read_image_line(buffer, image_line_size, file), 0) << "call after the end";
        EXPECT_EQ(buffer[0], '\0');
    }
    std::fclose(file);
    return lines;
}

std::vector<std::string> fgets_lines(const std::string& path, long offset) {
    std::vector<std::string> lines;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) throw std::runtime_error("cannot open " + path);
    std::fseek(file, offset, SEEK_SET);
    char buffer[image_line_size];
    while (std::fgets(buffer, image_line_size, file)) lines.emplace_back(buffer);
    std::fclose(file);
    return lines;
}

std::string all_printed(const std::vector<HandedLine>& lines) {
    std::string text;
    for (const HandedLine& line : lines) text += line.printed;
    return text;
}
