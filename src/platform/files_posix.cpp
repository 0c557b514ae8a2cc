// Files on POSIX: download files opened as they are and told apart by
// device, inode, size and modification time; the update record's file
// appended to with O_APPEND; the computer's name.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

FILE* open_for_reading(const char* path) {
    return std::fopen(path, "rb");
}

int file_stamp(FILE* file, FileStamp* stamp) {
    *stamp = FileStamp{};
    struct stat info {};
    if (fstat(fileno(file), &info) != 0) return -1;
    stamp->volume = static_cast<uint64_t>(info.st_dev);
    stamp->file = static_cast<uint64_t>(info.st_ino);
    stamp->size = static_cast<int64_t>(info.st_size);
    stamp->written = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return 0;
}

namespace {

void copy_reason(int error, char* reason, int size) {
    if (reason != nullptr && size > 0) {
        std::strncpy(reason, std::strerror(error), static_cast<size_t>(size) - 1);
        reason[size - 1] = '\0';
    }
}

} // namespace

intptr_t open_for_appending(const char* path, char* reason, int size) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) copy_reason(errno, reason, size);
    return fd;
}

int append_to(intptr_t file, const char* bytes, int32_t count, char* reason, int size) {
    ssize_t n;
    do n = write(static_cast<int>(file), bytes, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    if (n == count) return 0;
    if (n >= 0) errno = ENOSPC; // a part went: the disk is full
    copy_reason(errno, reason, size);
    return -1;
}

void host_name(char* name, int size) {
    if (size <= 0) return;
    if (gethostname(name, static_cast<size_t>(size)) != 0) name[0] = '\0';
    name[size - 1] = '\0';
}
