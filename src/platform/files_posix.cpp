// Download files on POSIX: opened as they are, told apart by device, inode,
// size and modification time.
#include <sys/stat.h>

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
