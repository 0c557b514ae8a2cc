// What kelo is expected to show and send, shared by the end-to-end tests of
// the native and the Windows program: its fixed texts, the wire form of an
// image, and independent readings of images (mkimage, srec_cat).
#pragma once

#include <string>
#include <vector>

namespace harness {

class Sim;

// The banner's first four lines and the whole usage text, as printed.
extern const char banner_top[];
extern const char usage_text[];
// The identification query on the wire: CR LF ? CR LF CR.
extern const char query_wire[];

// Occurrences of part in text.
int count_of(const std::string& text, const std::string& part);

// The lines of a text, each with its LF (a last line without one gets one).
std::vector<std::string> lines_of(const std::string& text);
// What kelo sends for an image line: its text, CR, LF, CR ("" for a blank line).
std::string wire(const std::string& line);
std::string wire_of(const std::vector<std::string>& lines);
// The image's sections, each as its lines from its S0 line on.
std::vector<std::vector<std::string>> sections_of(const std::string& image);

// Writes an image with tools/mkimage/mkimage.py into dir/name; args as on
// its command line. Returns the path. Throws when mkimage fails.
std::string make_image(const std::string& dir, const std::string& name, const std::string& args);
// srec_cat's reading of one section as a memory image: byte addresses from
// 0, gaps zero, a later record over an earlier one (-multiple), as the
// instrument's memory keeps the DSP section's overlapping records. Scratch
// files go to dir.
std::string srec_cat_memory(const std::string& dir, const std::vector<std::string>& section,
                            const std::string& name);

// The bytes kelo sent after the probe's identification query.
std::string after_probe(const Sim& sim);

// Checks a whole download of the replica image (replica_path) into an
// instrument whose boot code is older than the image's: kelo's output
// (out), every line on the wire once and in order with the reboot hand-over
// after the boot section, and each section's memory against srec_cat's
// reading of it (scratch files in scratch_dir). Returns a description of
// every difference, "" when the download is right.
std::string replica_download_faults(const std::string& out, const Sim& sim,
                                    const std::string& replica_path,
                                    const std::string& scratch_dir);

// The rates, in order, to which the simulator's line was set.
std::string probed_rates(const Sim& sim);

} // namespace harness
