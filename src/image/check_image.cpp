// The check of a download file before the download: its size, and its first
// two lines at image_offset. A file that begins with "@" is a script.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "image/image.h"
#include "record/sha256.h"
#include "script/script.h"
#include "shared/shared.h"

namespace {

// The download file as the check accepted it: its stamp, and the digest of
// the bytes the record reader takes, from the image's start to the end of
// the file or to a line that begins with NUL, where the download ends too
// (a sparse file's holes are never read).
FileStamp checked_stamp;
char checked_digest[65];
int64_t checked_length;
int checked_to_end;

int fail_check(const char* message, FILE* file) {
    std::printf("%s", message);
    if (file) std::fclose(file);
    fail_run(run_file_error);
    return -1;
}

bool begins_with(const char* line, const char* prefix) {
    return std::strncmp(line, prefix, std::strlen(prefix)) == 0;
}

// The script player starts with the line after the "@" line. A first line cut
// at the read limit would leave its rest to be played as a script line.
void skip_rest_of_line(FILE* file) {
    std::size_t length = std::strlen(reply_line);
    if (length > 0 && reply_line[length - 1] == '\n') return;
    int c;
    do c = std::fgetc(file);
    while (c != EOF && c != '\n');
}

// A partial copy of an image (a transfer or a copy cut short) must be refused
// before anything reaches the instrument: sending it would leave a section
// half programmed. Reading the whole image takes milliseconds.
int check_sections_closed(const char* path, FILE* file) {
    int unclosed = -1;
    int32_t start = image_offset > 0 ? image_offset : 0;
    if (std::fseek(file, start, SEEK_SET) == 0) unclosed = first_unclosed_section(file);
    long end = std::ftell(file);
    checked_to_end = std::feof(file) != 0 || end < start;
    checked_length = checked_to_end ? -1 : end - start;
    if (unclosed >= 0 && sha256_of_file(file, start, checked_digest, nullptr, checked_length) != 0)
        unclosed = -1;
    std::fclose(file);
    if (unclosed == 0) return 0;
    if (unclosed < 0)
        std::printf("Cannot read the download file: %s\n", path);
    else
        report_unclosed_section(unclosed);
    fail_run(run_file_error);
    return -1;
}

// Looks at the first two lines; file is positioned at image_offset.
int check_first_lines(const char* path, FILE* file) {
    if (std::fgets(reply_line, image_line_size, file) == nullptr)
        return fail_check("Invalid download file format (E1)\n", file);
    if (reply_line[0] == '@') {
        skip_rest_of_line(file);
        play_script(path, file); // the player closes the file
        return 1;
    }
    if (!begins_with(reply_line, "S0"))
        return fail_check("Invalid download file format (E2)\n", file);
    if (std::fgets(reply_line, image_line_size, file) == nullptr)
        return fail_check("Invalid download file format (E3)\n", file);
    if (!begins_with(reply_line, "S3"))
        return fail_check("Invalid download file format (E4)\n", file);
    return check_sections_closed(path, file);
}

int report_cannot_open(const char* path) {
    report_file_failure("Cannot open the download file: %s\n", path, errno);
    return -1;
}

} // namespace

int check_image(const char* path) {
    struct stat status;
    if (stat(path, &status) != 0) return report_cannot_open(path);
    // Stored before the open, so it is set whatever follows.
    image_length = static_cast<int32_t>(static_cast<int64_t>(status.st_size) - image_offset);

    FILE* file = open_for_reading(path);
    if (file == nullptr) return report_cannot_open(path);
    file_stamp(file, &checked_stamp);
    // A seek that fails would leave the reading at the wrong place: no image there.
    if (image_offset > 0 && std::fseek(file, image_offset, SEEK_SET) != 0)
        return fail_check("Invalid download file format (E1)\n", file);
    return check_first_lines(path, file);
}

int image_unchanged(FILE* file) {
    FileStamp now;
    if (file_stamp(file, &now) == 0 && same_file_stamp(now, checked_stamp)) return 1;
    char digest[65];
    if (sha256_of_file(file, image_offset > 0 ? image_offset : 0, digest, nullptr,
                       checked_length) != 0 ||
        std::strcmp(digest, checked_digest) != 0)
        return 0;
    checked_stamp = now; // the same bytes: the next look is cheap again
    return 1;
}
