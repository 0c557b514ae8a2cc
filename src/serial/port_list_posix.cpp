// The serial ports of a Linux machine, as sysfs and udev's links show them:
// /sys/class/tty/<name> for the ports, their drivers and USB devices,
// /dev/serial/by-id for their stable names, /run/lock and /proc/locks for
// who holds them. No port is opened: an open raises the modem lines, which
// resets some boards.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "serial/serial_port.h"

namespace {

// The ports listed, sorted; the names of /sys/class/tty are short
// ("ttyUSB0"), and a longer one is left out.
constexpr int max_ports = 128;
constexpr int port_name_size = 32;
char port_names[max_ports][port_name_size];

// KELO_LIST_ROOT, a hook for the tests only: a folder that stands for "/"
// where sys/class/tty and dev/serial/by-id are read, so that a made-up tree
// can be listed. Devices and locks are still looked for at their own paths.
const char* list_root() {
    const char* root = std::getenv("KELO_LIST_ROOT");
    return root ? root : "";
}

// Calls each(name) for every entry of folder except "." and "..", read into
// a fixed buffer. -1 when the folder cannot be read.
template <typename Each> int for_each_entry(const char* folder, Each each) {
    int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    alignas(dirent64) char buffer[4096];
    for (;;) {
        ssize_t count = getdents64(fd, buffer, sizeof buffer);
        if (count <= 0) break;
        for (ssize_t at = 0; at < count;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                each(entry->d_name);
        }
    }
    ::close(fd);
    return 0;
}

// The first line of a sysfs file without its line end into text (size
// bytes); "" when there is no such file. The length.
int read_attribute(const char* path, char* text, int size) {
    text[0] = '\0';
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t count = ::read(fd, text, static_cast<std::size_t>(size - 1));
    ::close(fd);
    text[count > 0 ? count : 0] = '\0';
    text[std::strcspn(text, "\n")] = '\0';
    return static_cast<int>(std::strlen(text));
}

// A port worth listing: a tty with a device behind it. A port of the
// kernel's serial core that found no UART there (the unused ttyS
// placeholders, whose "type" is 0, PORT_UNKNOWN) counts only with all.
int is_port(const char* name, int all) {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/sys/class/tty/%s/device", list_root(), name);
    if (access(path, F_OK) != 0) return 0;
    char type[16];
    std::snprintf(path, sizeof path, "%s/sys/class/tty/%s/type", list_root(), name);
    return all || read_attribute(path, type, sizeof type) == 0 || std::strcmp(type, "0") != 0;
}

// Orders "ttyS2" before "ttyS10": runs of digits compare by their value.
int port_order(const char* a, const char* b) {
    while (*a && *a == *b && !(*a >= '0' && *a <= '9')) ++a, ++b;
    if (*a >= '0' && *a <= '9' && *b >= '0' && *b <= '9') {
        char* a_end = nullptr;
        char* b_end = nullptr;
        long x = std::strtol(a, &a_end, 10);
        long y = std::strtol(b, &b_end, 10);
        if (x != y) return x < y ? -1 : 1;
        return port_order(a_end, b_end);
    }
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

// Appends ", text" to line (size bytes), or "text" behind the device's
// colon for the first field.
void add_field(char* line, int size, const char* text) {
    if (text[0] == '\0') return;
    std::size_t used = std::strlen(line);
    std::snprintf(line + used, static_cast<std::size_t>(size) - used, "%s%s",
                  line[used - 1] == ':' ? " " : ", ", text);
}

// The USB device that the port's device belongs to: its folder (the first
// one up from the port with an idVendor) into usb, 1; else 0.
int usb_device(const char* name, char* usb) {
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/sys/class/tty/%s/device", list_root(), name);
    if (realpath(path, usb) == nullptr) return 0;
    for (int up = 0; up < 4; ++up) {
        char vendor[PATH_MAX + 16];
        std::snprintf(vendor, sizeof vendor, "%s/idVendor", usb);
        if (access(vendor, F_OK) == 0) return 1;
        char* slash = std::strrchr(usb, '/');
        if (slash == nullptr || slash == usb) return 0;
        *slash = '\0';
    }
    return 0;
}

// The USB device's numbers, maker, product and serial number.
void add_usb_fields(const char* name, char* line, int size) {
    char usb[PATH_MAX];
    if (!usb_device(name, usb)) return;
    char path[PATH_MAX + 16];
    char vendor[16];
    char product[16];
    std::snprintf(path, sizeof path, "%s/idVendor", usb);
    read_attribute(path, vendor, sizeof vendor);
    std::snprintf(path, sizeof path, "%s/idProduct", usb);
    read_attribute(path, product, sizeof product);
    char text[160];
    std::snprintf(text, sizeof text, "USB %s:%s", vendor, product);
    add_field(line, size, text);
    for (const char* attribute : {"manufacturer", "product"}) {
        std::snprintf(path, sizeof path, "%s/%s", usb, attribute);
        read_attribute(path, text, sizeof text);
        add_field(line, size, text);
    }
    std::snprintf(path, sizeof path, "%s/serial", usb);
    char serial[128];
    if (read_attribute(path, serial, sizeof serial) > 0) {
        std::snprintf(text, sizeof text, "serial %s", serial);
        add_field(line, size, text);
    }
}

// The link in /dev/serial/by-id that leads to the port, into by_id ("" when
// none).
void stable_name(const char* name, char* by_id, int size) {
    by_id[0] = '\0';
    char folder[PATH_MAX];
    std::snprintf(folder, sizeof folder, "%s/dev/serial/by-id", list_root());
    for_each_entry(folder, [&](const char* link) {
        char path[PATH_MAX + 256];
        char target[PATH_MAX];
        std::snprintf(path, sizeof path, "%s/%s", folder, link);
        ssize_t length = readlink(path, target, sizeof target - 1);
        if (by_id[0] != '\0' || length <= 0) return;
        target[length] = '\0';
        const char* base = std::strrchr(target, '/');
        if (std::strcmp(base ? base + 1 : target, name) == 0)
            std::snprintf(by_id, static_cast<std::size_t>(size), "/dev/serial/by-id/%s", link);
    });
}

// The process that holds a lock (flock, fcntl) on the device at path, as
// /proc/locks lists it by the device's file system and inode; else 0.
int32_t device_lock_holder(const char* path) {
    struct stat status {};
    if (stat(path, &status) != 0) return 0;
    int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buffer[4096];
    std::size_t kept = 0;
    int32_t holder = 0;
    ssize_t count;
    while (holder == 0 && (count = ::read(fd, buffer + kept, sizeof buffer - 1 - kept)) > 0) {
        buffer[kept + static_cast<std::size_t>(count)] = '\0';
        char* line = buffer;
        for (char* end; holder == 0 && (end = std::strchr(line, '\n')) != nullptr; line = end + 1) {
            *end = '\0';
            // "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; waiters show "->".
            int pid = 0;
            unsigned major_number = 0;
            unsigned minor_number = 0;
            unsigned long inode = 0;
            if (std::strstr(line, "->") == nullptr &&
                std::sscanf(line, "%*d: %*s %*s %*s %d %x:%x:%lu", &pid, &major_number,
                            &minor_number, &inode) == 4 &&
                major_number == major(status.st_dev) && minor_number == minor(status.st_dev) &&
                inode == status.st_ino)
                holder = pid;
        }
        kept = std::strlen(line);
        std::memmove(buffer, line, kept);
        if (kept == sizeof buffer - 1) kept = 0; // a line longer than any /proc/locks has
    }
    ::close(fd);
    return holder;
}

// The driver of the port's device. Since Linux 6.5 a serial-core port's
// device is one of the core's own ("port", below a "ctrl"), and the UART's
// driver (serial8250, serial) is bound further up.
void add_driver(const char* name, char* line, int size) {
    char device[PATH_MAX];
    std::snprintf(device, sizeof device, "%s/sys/class/tty/%s/device", list_root(), name);
    char found[PATH_MAX];
    if (realpath(device, found) == nullptr) return;
    for (int up = 0; up < 3; ++up) {
        char path[PATH_MAX + 16];
        char target[PATH_MAX];
        std::snprintf(path, sizeof path, "%s/driver", found);
        ssize_t length = readlink(path, target, sizeof target - 1);
        target[length > 0 ? length : 0] = '\0';
        const char* driver = std::strrchr(target, '/');
        if (length > 0 && std::strstr(target, "/serial-base/") == nullptr) {
            add_field(line, size, driver ? driver + 1 : target);
            return;
        }
        char* slash = std::strrchr(found, '/');
        if (slash == nullptr || slash == found) return;
        *slash = '\0';
    }
}

void print_port(const char* name) {
    char line[1024];
    std::snprintf(line, sizeof line, "/dev/%s:", name);
    add_driver(name, line, sizeof line);
    add_usb_fields(name, line, sizeof line);
    char by_id[PATH_MAX];
    stable_name(name, by_id, sizeof by_id);
    add_field(line, sizeof line, by_id);
    char device[64];
    std::snprintf(device, sizeof device, "/dev/%s", name);
    int32_t holder = device_lock_holder(device);
    if (holder == 0) holder = port_lock_holder(device);
    if (holder == 0 && by_id[0] != '\0') holder = port_lock_holder(by_id);
    if (holder > 0) {
        char text[48];
        std::snprintf(text, sizeof text, "in use by process %d", static_cast<int>(holder));
        add_field(line, sizeof line, text);
    }
    std::printf("%s\n", line);
}

} // namespace

int list_ports(int all) {
    char folder[PATH_MAX];
    std::snprintf(folder, sizeof folder, "%s/sys/class/tty", list_root());
    int count = 0;
    for_each_entry(folder, [&](const char* name) {
        if (count == max_ports || std::strlen(name) >= port_name_size || !is_port(name, all))
            return;
        // Sorted as they come in.
        int at = count++;
        for (; at > 0 && port_order(port_names[at - 1], name) > 0; --at)
            std::memcpy(port_names[at], port_names[at - 1], port_name_size);
        std::memcpy(port_names[at], name, std::strlen(name) + 1);
    });
    for (int i = 0; i < count; ++i) print_port(port_names[i]);
    return count;
}

int names_a_port(const char* name) {
    for (const char* prefix : {"/dev/tty", "/dev/serial/", "/dev/pts/", "/dev/rfcomm", "/dev/cu."})
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return 1;
    return 0;
}
