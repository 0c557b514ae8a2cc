#include "srecord.h"

#include <cstdio>
#include <filesystem>

namespace k940 {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Bytes of the address field per record type; 0 for a type that has none.
size_t address_bytes(char type) {
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return 0;
    }
}

} // namespace

bool looks_like_record(std::string_view line) {
    return line.size() >= 2 && line[0] == 'S' && line[1] >= '0' && line[1] <= '9';
}

RecordCheck check_record(std::string_view line, Record& record) {
    if (!looks_like_record(line) || line.size() < 4 || line.size() % 2 != 0)
        return RecordCheck::bad_syntax;
    size_t address_size = address_bytes(line[1]);
    if (address_size == 0) return RecordCheck::bad_syntax;
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i < line.size(); i += 2) {
        int high = hex_digit(line[i]);
        int low = hex_digit(line[i + 1]);
        if (high < 0 || low < 0) return RecordCheck::bad_syntax;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    // bytes: count, address, data, checksum.
    if (size_t{bytes[0]} != bytes.size() - 1 || bytes.size() < address_size + 2)
        return RecordCheck::bad_count;
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    if ((sum & 0xFF) != 0xFF) return RecordCheck::bad_checksum;
    record.type = line[1];
    record.address = 0;
    for (size_t i = 0; i < address_size; ++i) record.address = record.address << 8 | bytes[1 + i];
    record.data.assign(bytes.begin() + 1 + static_cast<long>(address_size), bytes.end() - 1);
    return RecordCheck::ok;
}

const char* check_name(RecordCheck check) {
    switch (check) {
    case RecordCheck::ok:
        return "ok";
    case RecordCheck::bad_syntax:
        return "bad syntax";
    case RecordCheck::bad_count:
        return "bad byte count";
    case RecordCheck::bad_checksum:
        return "bad checksum";
    }
    return "?";
}

void Memory::start_section() {
    sections.emplace_back();
}

bool Memory::write(uint32_t address, const std::vector<uint8_t>& data) {
    if (sections.empty()) start_section();
    uint64_t end = uint64_t{address} + data.size();
    if (end > max_size) return false;
    std::vector<uint8_t>& memory = sections.back();
    if (memory.size() < end) memory.resize(end, 0);
    std::copy(data.begin(), data.end(), memory.begin() + address);
    return true;
}

bool Memory::save(const std::string& dir) const {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    bool ok = true;
    for (size_t i = 0; i < sections.size(); ++i) {
        std::string path = dir + "/section-" + std::to_string(i + 1) + ".bin";
        std::string temp = path + ".tmp";
        // Written under a temporary name, so a reader never sees half a file.
        FILE* file = std::fopen(temp.c_str(), "wb");
        if (file == nullptr) {
            ok = false;
            continue;
        }
        const std::vector<uint8_t>& memory = sections[i];
        bool written =
            memory.empty() || std::fwrite(memory.data(), 1, memory.size(), file) == memory.size();
        written = std::fclose(file) == 0 && written;
        if (!written || std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
    }
    return ok;
}

} // namespace k940
