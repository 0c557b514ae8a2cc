// The baseline of the raw-speed benchmark: the same stop-and-wait exchange as
// kelo's download, with nothing else. Each record goes out one byte per
// write() as its text, CR, LF, CR; then the reply is read one byte per read()
// up to its LF, waiting in poll() when nothing is there.
//
//   bare_loop DEVICE IMAGE   prints "<records> records in <s> s: <n> records/s"
//
// Only lines of sections that kelo would send to an instrument whose boot
// code is current are sent: the lines from the second S0 line on.
#include <cerrno>
#include <chrono>
#include <cstdio>
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

void write_byte(int fd, char byte) {
    while (write(fd, &byte, 1) != 1) {
        if (errno != EAGAIN && errno != EINTR) throw std::runtime_error("write failed");
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 1000);
    }
}

void read_reply(int fd) {
    for (;;) {
        char byte;
        ssize_t n = read(fd, &byte, 1);
        if (n == 1) {
            if (byte == '\n') return;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("read failed");
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) == 0) throw std::runtime_error("no reply within 5 s");
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
            for (char byte : record) write_byte(fd, byte);
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
