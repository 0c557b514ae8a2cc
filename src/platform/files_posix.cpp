// Files on POSIX: download files opened as they are and told apart by
// device, inode, size and modification time; the update record's file
// appended to with O_APPEND; the computer's name.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

FILE* open_for_reading(const char* path) {
    // Not blocking: a file that has nothing to give yet (a kernel's message
    // file, a pipe) fails to read instead of holding the run for ever.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
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
    // Not blocking: a named pipe without a reader is refused at once
    // (ENXIO) instead of waiting for one.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        int error = errno;
        struct stat info {};
        if (error == ENXIO && stat(path, &info) == 0 && S_ISFIFO(info.st_mode) &&
            reason != nullptr && size > 0)
            std::snprintf(reason, static_cast<size_t>(size), "a named pipe that nobody reads");
        else
            copy_reason(error, reason, size);
        return -1;
    }
    // A regular file is opened for reading too, to look at its last byte.
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        int both = open(path, O_RDWR | O_APPEND | O_CLOEXEC);
        struct stat again {};
        if (both >= 0 && fstat(both, &again) == 0 && again.st_dev == info.st_dev &&
            again.st_ino == info.st_ino) {
            close(fd);
            fd = both;
        } else if (both >= 0) {
            close(both);
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int append_line(intptr_t file, const char* line, int32_t count, char* reason, int size) {
    int fd = static_cast<int>(file);
    struct stat info {};
    char last = '\n';
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        pread(fd, &last, 1, info.st_size - 1) != 1)
        last = '\n';
    if (last == '\n') {
        ++line;
        --count;
    }
    ssize_t n;
    do n = write(fd, line, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    if (n == count) return 0;
    int error = n >= 0 ? ENOSPC : errno; // a part went: the disk is full
    // The part that went is taken back while nothing follows it; else the
    // next line begins on a line of its own.
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (n > 0 && end >= n && fstat(fd, &info) == 0 && info.st_size == end)
        (void)ftruncate(fd, end - n);
    copy_reason(error, reason, size);
    return -1;
}

void host_name(char* name, int size) {
    if (size <= 0) return;
    if (gethostname(name, static_cast<size_t>(size)) != 0) name[0] = '\0';
    name[size - 1] = '\0';
}
