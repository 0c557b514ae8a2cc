// SerialClient: the computer's end of a serial line, for talking to the
// simulator without kelo.
#include "harness.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace harness {

namespace {

speed_t speed_for(unsigned baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        throw std::invalid_argument("unsupported rate " + std::to_string(baud));
    }
}

} // namespace

SerialClient::SerialClient(const std::string& path, unsigned baud) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    try {
        set_baud(baud);
    } catch (...) {
        close(fd_);
        throw;
    }
}

SerialClient::~SerialClient() {
    if (fd_ >= 0) close(fd_);
}

void SerialClient::set_baud(unsigned baud) {
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) throw std::runtime_error("tcgetattr failed");
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, speed_for(baud));
    cfsetospeed(&settings, speed_for(baud));
    if (tcsetattr(fd_, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
}

void SerialClient::write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd fd{fd_, POLLOUT, 0};
            poll(&fd, 1, 100);
        } else {
            throw std::runtime_error(std::string("write failed: ") + std::strerror(errno));
        }
    }
}

std::string SerialClient::read_until(const std::string& until, double timeout_s) {
    std::string received;
    double deadline = now_seconds() + timeout_s;
    for (;;) {
        if (!until.empty() && received.find(until) != std::string::npos) return received;
        double left = deadline - now_seconds();
        if (left <= 0) return received;
        pollfd fd{fd_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char buffer[4096];
        ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<size_t>(n));
    }
}

std::string SerialClient::read_for(double seconds) {
    return read_until("", seconds);
}

} // namespace harness
