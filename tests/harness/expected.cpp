#include "expected.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "harness.h"

namespace harness {

const char banner_top[] =
    "**********************************************************************\n"
    "*                                                                    *\n"
    "*             K940 Serial Download Utility        1.17               *\n"
    "*                                                                    *\n";

const char usage_text[] =
    "Kelo  -38/-19/-96 -1/-2/-3/-4 -r -s -t  [kelo_filename/@script_filename]  1.17\n"
    "38400, N 8 1\n"
    "-1  select com1 (default)\n"
    "-2  select com2\n"
    "-3  select com3\n"
    "-4  select com4\n"
    "-r  send cntrl-r after each message\n"
    "-s  display serial records\n"
    "-t  terminal interface\n"
    "-w  send regardless of version\n";

const char query_wire[] = "\r\n?\r\n\r";

int count_of(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
    return lines;
}

std::string wire(const std::string& line) {
    std::string text = line.substr(0, line.find_first_of("\r\n"));
    return text.empty() ? "" : text + "\r\n\r";
}

std::string wire_of(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) bytes += wire(line);
    return bytes;
}

std::vector<std::vector<std::string>> sections_of(const std::string& image) {
    std::vector<std::vector<std::string>> sections;
    for (const std::string& line : lines_of(image)) {
        if (line.starts_with("S0")) sections.emplace_back();
        if (!sections.empty()) sections.back().push_back(line);
    }
    return sections;
}

std::string make_image(const std::string& dir, const std::string& name, const std::string& args) {
    std::string path = dir + "/" + name;
    std::string command = std::string(PYTHON) + " " + MKIMAGE + " " + args + " -o " + path;
    if (std::system(command.c_str()) != 0) throw std::runtime_error("mkimage failed: " + command);
    return path;
}

std::string srec_cat_memory(const std::string& dir, const std::vector<std::string>& section,
                            const std::string& name) {
    std::string s19 = dir + "/" + name + ".s19";
    std::string bin = dir + "/" + name + ".bin";
    std::string text;
    for (const std::string& line : section) text += line;
    std::ofstream(s19, std::ios::binary) << text;
    std::string command =
        std::string(SREC_CAT) + " " + s19 + " -multiple -o " + bin + " -binary 2>/dev/null";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("srec_cat failed: " + s19);
    return read_file(bin);
}

std::string after_probe(const Sim& sim) {
    std::string rx = sim.rx();
    size_t at = rx.find(query_wire);
    return at == std::string::npos ? rx : rx.substr(at + sizeof query_wire - 1);
}

std::string replica_download_faults(const std::string& out, const Sim& sim,
                                    const std::string& replica_path,
                                    const std::string& scratch_dir) {
    std::string faults;
    auto expect = [&faults](bool ok, const std::string& what) {
        if (!ok) faults += what + "\n";
    };
    auto sections = sections_of(read_file(replica_path));
    if (sections.size() != 3) return "the replica does not have three sections\n";
    std::string expected = wire_of(sections[0]) + "$REBOOT2\r\n\r$REBOOT\r\n\r" + query_wire +
                           wire_of(sections[1]) + wire_of(sections[2]);
    expect(after_probe(sim) == expected, "the wire differs from the image");
    const char* names[] = {"boot", "app", "dsp"};
    for (int n = 1; n <= 3; ++n) {
        std::string memory = sim.memory(n);
        expect(!memory.empty(), std::string("no memory for the ") + names[n - 1] + " section");
        expect(memory == srec_cat_memory(scratch_dir, sections[n - 1], names[n - 1]),
               std::string("the ") + names[n - 1] + " section's memory differs from srec_cat's");
    }
    expect(out.find("Boot Version (instrument): 19990101\n"
                    "Appl Version (instrument): 20070215\n"
                    "Dsp Version (instrument):  20060504\n") != std::string::npos,
           "version lines");
    expect(out.find("\nBoot Code (v20000620)\n") != std::string::npos, "boot header");
    expect(out.find("\nApplication Code (v20070215)\n") != std::string::npos, "application header");
    expect(out.find("\n\nDsp Code (v20060504)") != std::string::npos, "DSP header");
    expect(count_of(out, "\b\b\b\b100 %\n     Programming..") == 3, "three Programming phases");
    expect(out.find("\nRebooting target.........\n") != std::string::npos, "the hand-over");
    expect(count_of(out, " 100 %") == 0, "progress lines stop at 99");
    expect(out.ends_with("\nDone.\n"), "ends with Done.");
    return faults;
}

std::string probed_rates(const Sim& sim) {
    std::string rates;
    std::string transcript = sim.transcript();
    size_t at = 0;
    while ((at = transcript.find(" baud ", at)) != std::string::npos) {
        at += 6;
        rates += transcript.substr(at, transcript.find('\n', at) - at) + " ";
    }
    return rates;
}

} // namespace harness
