// The baseline of the download benchmarks: the same stop-and-wait exchange as
// kelo's download, done as well as a program can do it on that line and with
// nothing else. Each record goes out as its text, CR, LF, CR in one write();
// the reply is taken with reads of everything waiting, waiting in poll() when
// nothing is, up to its LF.
//
//   bare_loop DEVICE IMAGE   prints "<records> records in <s> s: <n> records/s"
//
// Only lines of sections that kelo would send to an instrument whose boot
// code is current are sent: the lines from the second S0 line on.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

int open_line(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error(std::string("cannot open ") + path);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

void wait_for(int fd, short events) {
    pollfd p{fd, events, 0};
    if (poll(&p, 1, 5000) == 0) throw std::runtime_error("the line stalled for 5 s");
}

void write_record(int fd, const std::string& record) {
    const char* text = record.data();
    size_t left = record.size();
    while (left > 0) {
        ssize_t n = write(fd, text, left);
        if (n > 0) {
            text += n;
            left -= static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("write failed");
        } else {
            wait_for(fd, POLLOUT);
        }
    }
}

// One reply, up to its LF: a reply arrives only after its record has gone,
// so nothing behind the LF belongs to the next one.
void read_reply(int fd) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (std::memchr(buffer, '\n', static_cast<size_t>(n)) != nullptr) return;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("read failed");
        wait_for(fd, POLLIN);
    }
}

std::vector<std::string> records_to_send(const char* image) {
    std::ifstream in(image, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + image);
    std::vector<std::string> records;
    int headers = 0;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line.starts_with("S0")) ++headers;
        if (headers >= 2 && !line.empty()) records.push_back(line + "\r\n\r");
    }
    return records;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bare_loop DEVICE IMAGE\n");
        return 2;
    }
    try {
        std::vector<std::string> records = records_to_send(argv[2]);
        int fd = open_line(argv[1]);
        auto start = std::chrono::steady_clock::now();
        for (const std::string& record : records) {
            write_record(fd, record);
            read_reply(fd);
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%zu records in %.3f s: %.0f records/s\n", records.size(), seconds,
                    static_cast<double>(records.size()) / seconds);
        close(fd);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bare_loop: %s\n", e.what());
        return 1;
    }
}
