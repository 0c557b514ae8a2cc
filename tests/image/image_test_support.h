// Helpers for the image tests: temporary files, images from the generator,
// standard output capture, and the reset of the reader's process-wide state.
#pragma once

#include <string>
#include <vector>

// A file in the test's temporary directory, removed when it goes.
class TempFile {
  public:
    TempFile();
    explicit TempFile(const std::string& content);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    void write(const std::string& content) const;
    std::string read() const;

  private:
    std::string path_;
};

// Runs the image generator with arguments (a shell word list) into file.
// Throws when the generator fails.
void make_image(const TempFile& file, const std::string& arguments);

// Sends standard output into a file from construction to finish().
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string finish();

  private:
    int saved_fd_ = -1;
    TempFile sink_;
};

// Puts the reader's window and the shared values it reads or writes back to
// their start-up state.
void reset_image_state();

// One line handed out by read_image_line, with what the call left behind.
struct HandedLine {
    std::string text;
    int length;
    int section_mode;
    std::string printed;
};

// Reads the image in path from offset with read_image_line until it returns
// 0, then calls it extra more times and checks that each returns 0.
std::vector<HandedLine> read_all_lines(const std::string& path, long offset = 0, int extra = 3);

// The lines of a file as fgets gives them with the image read limit.
std::vector<std::string> fgets_lines(const std::string& path, long offset = 0);

// All messages printed while reading, in order.
std::string all_printed(const std::vector<HandedLine>& lines);
