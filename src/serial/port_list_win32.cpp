// The COM ports of a Windows machine: those the serial drivers enter in
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (device name -> COMn), or, when that
// key holds none, the COMn names of the DOS device space (QueryDosDevice).
// No port is opened.
#include <cstdio>
#include <cstring>

#include "serial/serial_port.h"

namespace {

struct ComPort {
    int number;      // n of COMn
    char device[96]; // the system's device name, "\Device\Serial0"
};
constexpr int max_ports = 256;
ComPort ports[max_ports];
int port_count = 0;
char dos_names[65536]; // QueryDosDevice's list of every DOS device name

// n when name is COMn (any case), else 0.
int com_number(const char* name) {
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
    int number = 0;
    const char* digit = name + 3;
    for (; *digit >= '0' && *digit <= '9' && number < 100000; ++digit)
        number = number * 10 + (*digit - '0');
    return *digit == '\0' ? number : 0;
}

// Keeps COMn with its device, sorted by n; a number already kept stays.
void keep_port(int number, const char* device) {
    if (number == 0 || port_count == max_ports) return;
    int at = port_count;
    for (int i = 0; i < port_count; ++i)
        if (ports[i].number == number) return;
    for (; at > 0 && ports[at - 1].number > number; --at) ports[at] = ports[at - 1];
    ports[at].number = number;
    lstrcpynA(ports[at].device, device, sizeof ports[at].device);
    ++port_count;
}

void read_serialcomm() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char device[96];
        char name[32];
        DWORD device_size = sizeof device;
        DWORD name_size = sizeof name - 1;
        DWORD type = 0;
        LONG result = RegEnumValueA(key, index, device, &device_size, nullptr, &type,
                                    reinterpret_cast<BYTE*>(name), &name_size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        name[name_size] = '\0';
        keep_port(com_number(name), device);
    }
    RegCloseKey(key);
}

void read_dos_devices() {
    if (QueryDosDeviceA(nullptr, dos_names, sizeof dos_names) == 0) return;
    for (const char* name = dos_names; *name != '\0'; name += std::strlen(name) + 1) {
        char device[96];
        if (com_number(name) != 0 && QueryDosDeviceA(name, device, sizeof device) != 0)
            keep_port(com_number(name), device);
    }
}

} // namespace

int list_ports(int) {
    port_count = 0;
    read_serialcomm();
    if (port_count == 0) read_dos_devices();
    for (int i = 0; i < port_count; ++i)
        std::printf("COM%d: %s\n", ports[i].number, ports[i].device);
    return port_count;
}

int names_a_port(const char* name) {
    return com_number(name) != 0 || std::strncmp(name, "\\\\.\\", 4) == 0;
}
