// Motorola S-records as the instrument receives them, and the memory it
// rebuilds from the records it accepted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace k940 {

struct Record {
    char type = 0; // '0'..'9'
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

enum class RecordCheck { ok, bad_syntax, bad_count, bad_checksum };

// True for a line that begins with 'S' and a digit.
bool looks_like_record(std::string_view line);

// Checks the hex digits, the byte count and the checksum of one record line
// (without line end) and fills record when the result is ok.
RecordCheck check_record(std::string_view line, Record& record);

const char* check_name(RecordCheck check);

// Memory per section, byte-addressed: the file of a section holds each byte
// at the offset of its address, gaps zero, up to the highest byte written.
class Memory {
  public:
    // Largest image of one section; data beyond it is dropped, not stored.
    static constexpr uint32_t max_size = 64u << 20;

    void start_section();
    // Stores the data at address in the current section (a first section is
    // started when none has been). False when it lies beyond max_size.
    bool write(uint32_t address, const std::vector<uint8_t>& data);
    int section_count() const { return static_cast<int>(sections.size()); }
    const std::vector<uint8_t>& section(int n) const { return sections.at(n - 1); }
    // Writes dir/section-<n>.bin for every section (n from 1); false when a
    // file cannot be written.
    bool save(const std::string& dir) const;

  private:
    std::vector<std::vector<uint8_t>> sections;
};

} // namespace k940
