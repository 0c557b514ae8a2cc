#include "harness.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#ifndef KELO_BIN
#define KELO_BIN ""
#endif
#ifndef SIM_BIN
#define SIM_BIN ""
#endif
#ifndef BUILD_DIR
#define BUILD_DIR "."
#endif

namespace harness {

std::string kelo_path() {
    return KELO_BIN;
}
std::string sim_path() {
    return SIM_BIN;
}
std::string build_path(const std::string& relative) {
    return std::string(BUILD_DIR) + "/" + relative;
}

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string make_srecord(char type, uint32_t address, const std::vector<uint8_t>& data) {
    int address_bytes = 2;
    if (type == '2' || type == '6' || type == '8') address_bytes = 3;
    if (type == '3' || type == '7') address_bytes = 4;
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(address_bytes + data.size() + 1));
    for (int i = address_bytes - 1; i >= 0; --i)
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum & 0xFF));
    std::string line = std::string("S") + type;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        line += digits;
    }
    return line;
}

} // namespace harness
