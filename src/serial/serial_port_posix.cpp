// SerialPort on POSIX: a tty device, opened exclusively, raw 8N1.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

// Writes COMn's device path into path (PATH_MAX bytes): the --port value,
// else the path in KELO_COMn, without the blanks around it when that leaves
// one, else /dev/ttyS<n-1>. 0, or ENAMETOOLONG with the option's or the
// variable's name in path.
int device_path(int32_t port_number, char* path) {
    char variable[16];
    std::snprintf(variable, sizeof variable, "KELO_COM%d", static_cast<int>(port_number));
    const char* mapped = port_option ? port_option : std::getenv(variable);
    int32_t length = mapped ? copy_trimmed(mapped, path, PATH_MAX) : 0;
    if (length > 0) return 0;
    if (length < 0) {
        std::snprintf(path, PATH_MAX, "%s", port_option ? "--port" : variable);
        return ENAMETOOLONG;
    }
    std::snprintf(path, PATH_MAX, "/dev/ttyS%d", static_cast<int>(port_number - 1));
    return 0;
}

// The live process that a UUCP lock file names for one of the names a tool
// gives the lock of path: path's own name, and for a path below /dev its
// rest with the slashes turned to underscores, as minicom writes it
// ("/dev/pts/1": LCK..pts_1). Else 0.
int32_t lock_holder_for(const char* path) {
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    char below_dev[PATH_MAX];
    int minicom = std::strncmp(path, "/dev/", 5) == 0 && std::strchr(path + 5, '/') != nullptr;
    std::snprintf(below_dev, sizeof below_dev, "%s", minicom ? path + 5 : "");
    for (char* c = below_dev; *c; ++c)
        if (*c == '/') *c = '_';
    static const char* const folders[] = {"/run/lock", "/var/lock"};
    for (const char* name : {base, static_cast<const char*>(below_dev)}) {
        if (name[0] == '\0') continue;
        for (const char* folder : folders) {
            char lock[PATH_MAX + 16];
            std::snprintf(lock, sizeof lock, "%s/LCK..%s", folder, name);
            int fd = ::open(lock, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            char bytes[32];
            ssize_t count = ::read(fd, bytes, sizeof bytes);
            ::close(fd);
            int32_t holder = count > 0 ? lock_file_holder(bytes, static_cast<int32_t>(count)) : 0;
            if (holder > 0) return holder;
        }
    }
    return 0;
}

} // namespace

// Tools name a port's lock after the path they were given, after a link on
// the way, or after the device behind them all: each is looked for.
int32_t port_lock_holder(const char* path) {
    char current[PATH_MAX];
    std::snprintf(current, sizeof current, "%s", path);
    for (int hop = 0; hop < 8; ++hop) {
        if (int32_t holder = lock_holder_for(current); holder > 0) return holder;
        char target[PATH_MAX];
        ssize_t length = readlink(current, target, sizeof target - 1);
        if (length <= 0) break;
        target[length] = '\0';
        // A relative target is relative to the link's folder.
        char* slash = std::strrchr(current, '/');
        char* into = target[0] == '/' || slash == nullptr ? current : slash + 1;
        if (into - current + length >= PATH_MAX) break;
        std::memcpy(into, target, static_cast<std::size_t>(length) + 1);
    }
    char device[PATH_MAX];
    return realpath(path, device) ? lock_holder_for(device) : 0;
}

namespace {

// The group worth joining to open path: the one that owns the device when
// it is not root's and its members may read and write; else the usual
// owner of serial ports. A group entry too long for the fixed buffer counts
// as unknown.
void device_group(const char* path, char* name, std::size_t size) {
    std::snprintf(name, size, "dialout");
    struct stat status {};
    constexpr mode_t group_read_write = S_IRGRP | S_IWGRP;
    if (stat(path, &status) != 0 || status.st_gid == 0 ||
        (status.st_mode & group_read_write) != group_read_write)
        return;
    group entry{};
    group* found = nullptr;
    char buffer[2048];
    if (getgrgid_r(status.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found &&
        std::strlen(found->gr_name) < size)
        std::snprintf(name, size, "%s", found->gr_name);
}

// Tells on standard error why path could not be opened as the port (error:
// the errno of the step that failed), before the caller's "Cannot open
// COMn.". Result 0, the open's failure.
int open_failed(const char* path, int error) {
    if (error == EWOULDBLOCK || error == EBUSY) {
        std::fprintf(stderr, "kelo: %s: the port is in use by another program\n", path);
    } else if (error == EACCES || error == EPERM) {
        char name[64];
        device_group(path, name, sizeof name);
        std::fprintf(stderr,
                     "kelo: %s: %s (add your user to the group that owns the device, e.g. "
                     "\"sudo usermod -aG %s $USER\", then log in again)\n",
                     path, std::strerror(error), name);
    } else {
        std::fprintf(stderr, "kelo: %s: %s\n", path, std::strerror(error));
    }
    return 0;
}

speed_t speed_for(uint32_t baud) {
    switch (baud) {
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
        return B0;
    }
}

// 0 when the line took the settings, else the errno of the step that
// failed (EINVAL: a rate the terminal interface has no speed for).
int set_line(int fd, uint32_t baud) {
    speed_t speed = speed_for(baud);
    termios tio{};
    if (speed == B0) return EINVAL;
    if (tcgetattr(fd, &tio) != 0) return errno;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    // With O_NONBLOCK a read of an empty queue then fails with EAGAIN, and
    // only a hung-up device reads as end of file.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0)
        return errno;
    return 0;
}

// DTR off, RTS on (the instrument's cable wiring), and low latency where
// the driver offers it. A device without modem lines or latency setting (a
// pseudo-terminal) refuses these: that is not a failure of the open.
void set_modem_and_latency(int fd) {
    set_modem_line(fd, modem_dtr, 0);
    set_modem_line(fd, modem_rts, 1);
#ifdef __linux__
    // A USB adapter's 16 ms latency timer would otherwise halve a
    // stop-and-wait download.
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
#endif
}

// An error that says the device itself has gone away (a USB adapter pulled,
// the far end of a pseudo-terminal closed), not that it is merely busy.
bool device_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

// Waits up to write_stall_ms for the line to take more bytes: 1 when it can,
// 0 when it did not (or the device went away: lost is set).
int wait_writable(int fd, int32_t* lost) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do ready = poll(&p, 1, static_cast<int>(write_stall_ms));
    while (ready < 0 && errno == EINTR);
    if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) *lost = 1;
    return ready > 0 && !*lost;
}

} // namespace

int32_t lock_file_holder(const char* bytes, int32_t count) {
    int32_t at = 0;
    while (at < count && bytes[at] == ' ') ++at;
    int64_t pid = 0;
    int32_t digits = 0;
    for (; at < count && bytes[at] >= '0' && bytes[at] <= '9' && digits < 10; ++at, ++digits)
        pid = pid * 10 + (bytes[at] - '0');
    while (at < count && (bytes[at] == '\n' || bytes[at] == ' ')) ++at;
    if (digits == 0 || at < count) {
        int32_t binary = 0;
        if (count == 4) std::memcpy(&binary, bytes, 4);
        pid = binary;
    }
    // A process of another user still counts (EPERM).
    if (pid <= 0 || pid > INT32_MAX || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
        return 0;
    return static_cast<int32_t>(pid);
}

int SerialPort::open(int32_t port_number, uint32_t baud) {
    if (is_open) return 1;
    char path[PATH_MAX];
    if (int error = device_path(port_number, path); error != 0) return open_failed(path, error);
    // minicom and other tools that take the port with a UUCP lock file hold
    // no flock that the open below would find.
    if (int32_t holder = port_lock_holder(path); holder > 0) {
        std::fprintf(stderr, "kelo: %s: the port is in use by process %d\n", path,
                     static_cast<int>(holder));
        return 0;
    }
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return open_failed(path, errno);
    // flock makes a second kelo fail like a busy COM port, also for root,
    // whom TIOCEXCL does not stop. The exclusive flag is cleared again on a
    // failure only when this open set it: a kelo that lost the race for the
    // lock must not unlock the port for everybody while the first one uses it.
    int exclusive = 0;
    int error = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        error = errno;
    else if (ioctl(fd, TIOCEXCL) != 0)
        error = errno;
    else
        exclusive = 1;
    if (error == 0) error = set_line(fd, baud);
    if (error != 0) {
        if (exclusive) (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        return open_failed(path, error);
    }
    set_modem_and_latency(fd);
    port_fd = fd;
    is_open = 1;
    std::strncpy(opened_on, path, sizeof opened_on - 1);
    lost = 0;
    return 1;
}

int SerialPort::close() {
    if (!is_open) return 1;
    // The exclusive flag would outlive this close while another process
    // holds the device open, and lock out the next open.
    (void)ioctl(port_fd, TIOCNXCL);
    ::close(port_fd);
    port_fd = -1;
    is_open = 0;
    forget_input();
    return 1;
}

int32_t SerialPort::write_bytes(const char* data, int32_t count) {
    if (!is_open || count <= 0) return 0;
    int32_t done = 0;
    while (done < count && !lost) {
        ssize_t n = ::write(port_fd, data + done, static_cast<std::size_t>(count - done));
        if (n > 0) {
            done += static_cast<int32_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            if (device_gone(errno)) lost = 1;
            break; // refused: the rest is lost
        } else if (!wait_writable(port_fd, &lost)) {
            break; // the line took nothing for write_stall_ms: the rest is dropped
        }
    }
    return count;
}

int32_t SerialPort::driver_queue() {
    if (lost) return 0;
    int waiting = 0;
    if (ioctl(port_fd, FIONREAD, &waiting) != 0) {
        if (device_gone(errno)) lost = 1;
        return 0;
    }
    return waiting;
}

int32_t SerialPort::fill_input() {
    forget_input();
    if (lost) return receive_lost;
    for (;;) {
        ssize_t n = ::read(port_fd, input, sizeof input);
        if (n > 0) {
            input_end = static_cast<int32_t>(n);
            return input_end;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        // End of file on a terminal device (VMIN 1) is a hang-up: the device
        // is gone.
        if (n == 0 || device_gone(errno)) {
            lost = 1;
            return receive_lost;
        }
        return receive_failed;
    }
}
