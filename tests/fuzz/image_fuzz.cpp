// libFuzzer target: arbitrary bytes as a download file, through the image
// check and then the record reader until it reports the end.
//
// The first input byte sets the run: bit 0 opt_force, bits 1-2 the
// instrument's version, bits 3-7 image_offset (0..31 times 7). The rest is the
// file. The product's shared state comes from shared/shared.cpp; the image
// sources are fuzzed without the platform and serial layers.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "image/image.h"
#include "image/record_window.h"
#include "script/script.h"
#include "shared/shared.h"

// The player's part of the contract: it reads on from the position it is
// given and closes the file.
void play_script(const char*, FILE* file) {
    char line[1500];
    while (std::fgets(line, sizeof line, file)) {}
    std::fclose(file);
}

namespace {

const std::string& input_path() {
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir ? dir : "/tmp") + "/kelo-image-fuzz-" + std::to_string(getpid());
    }();
    return path;
}

bool write_input(const uint8_t* data, size_t size) {
    FILE* file = std::fopen(input_path().c_str(), "wb");
    if (file == nullptr) return false;
    bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

void set_up_run(uint8_t flags) {
    static const int32_t versions[] = {0, 20000620, -1, INT32_MAX};
    record_window = RecordWindow{};
    section_mode = 0;
    reboot_pending = 1;
    run_outcome = run_ok;
    opt_force = flags & 1;
    instrument_version = versions[(flags >> 1) & 3];
    image_offset = (flags >> 3) * 7;
    std::memset(reply_line, 0xA5, sizeof reply_line);
    reply_line[0] = '\0';
}

void read_to_end(long size) {
    FILE* file = std::fopen(input_path().c_str(), "rb");
    if (file == nullptr) std::abort();
    if (image_offset > 0) std::fseek(file, image_offset, SEEK_SET);
    char buffer[image_line_size];
    long handed_out = 0;
    // A line that begins with NUL is handed out with length 0 like the end;
    // the reader goes on past it until the window is empty.
    for (;;) {
        int length = read_image_line(buffer, image_line_size, file);
        if (length == 0 && record_window.line_count == 0 && record_window.at_end) break;
        // Every line is at most 99 characters, NUL-ended, and as long as told.
        if (length >= image_line_size || std::strlen(buffer) != static_cast<size_t>(length))
            std::abort();
        if (reboot_pending != 0) std::abort();
        if (section_mode != 0 && section_mode != 'A' && section_mode != 'B' && section_mode != 'D')
            std::abort();
        handed_out += length;
        if (handed_out > size) std::abort();
        strip_line_end(buffer);
        reboot_pending = 1;
    }
    if (buffer[0] != '\0' || reboot_pending != 0) std::abort();
    if (read_image_line(buffer, image_line_size, file) != 0) std::abort();
    std::fclose(file);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    set_up_run(data[0]);
    if (!write_input(data + 1, size - 1)) std::abort();
    // Quiet: the messages would flood the fuzzer's output.
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    if (!quiet) std::abort();

    int result = check_image(input_path().c_str());
    if (image_length != static_cast<int32_t>(size - 1) - image_offset) std::abort();
    // The check reads its lines into reply_line with the image limit only.
    if (std::strlen(reply_line) >= static_cast<size_t>(image_line_size)) std::abort();
    for (int i = image_line_size; i < reply_line_size; ++i)
        if (static_cast<uint8_t>(reply_line[i]) != 0xA5) std::abort();
    if ((result == -1) != (run_outcome == run_file_error)) std::abort();
    if (result == 0)
        read_to_end(static_cast<long>(size - 1));
    else if (result != -1 && result != 1)
        std::abort();
    return 0;
}
