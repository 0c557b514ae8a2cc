// The download image: the check before a download, the record reader with its
// three-line look-ahead, and the format constants.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// Lines of an image are read with this limit: 99 characters and the NUL.
constexpr int image_line_size = 100;

// 1 while the open download file still holds the image that check_image
// accepted, else 0. The stamp (which file, its size and write time) is the
// first look; when it differs (the file touched, copied over, replaced) the
// image's bytes are compared by their SHA-256, and only a changed byte
// counts.
int image_unchanged(FILE* file);

// Checks that path holds a download image at image_offset.
// 0: first line "S0", second "S3": the download may run (file closed again).
// 1: the first line began with "@": the rest was played as a script.
// -1: the file cannot be used; its message has been printed.
// Sets image_length as soon as the size is known.
int check_image(const char* path);

// Hands out the next line of the image (at most size - 1 characters, line end
// included) into buffer and returns its length; 0 with buffer empty once the
// image is exhausted. Before it hands out a section's S0 line it prints the
// section's header and sets section_mode. Clears reboot_pending on every call.
int read_image_line(char* buffer, int size, FILE* file);

// How many section headers read_image_line has recognised so far; the last
// one's kind ('B', 'A', 'D', or 0 for an address of no kind) and version go
// to *kind and *version.
int32_t sections_met(int32_t* kind, int32_t* version);

// The number (from 1) of the last section whose header read_image_line has
// handed out, while that section's S7 line has not been handed out yet; 0
// otherwise. An image that ends here has been cut short inside the section.
int unclosed_section();

// Reads the image from the file's position on, with the reader's limits and
// its look-ahead, up to its end or up to a line whose first byte is NUL (where
// the reader ends too). Result: the number (from 1, counting every header the
// reader recognises) of the first section that the download will send (given
// instrument_version and opt_force) and that no S7 line closes before the
// next recognised header or the end; 0 when every such section is closed; -1
// when the file cannot be read to its end.
int first_unclosed_section(FILE* file);

// The image report: a script named with '@' and a file that is no regular
// file are refused (1) as the download refuses them; else the file, where
// its image starts, each section's kind, version, addresses, records, data
// bytes, S7 and faulty records, the records' time on the wire, and the
// download's check. 0 when the check takes the image, 1 when it does not
// (its message printed).
int image_report(const char* path);

// A download file or script (name with '@') that is a device, or a download
// file that is no regular file (a folder, a pipe), is refused: its reason
// printed, the run failed, -1. 0 otherwise (a file that cannot be looked at
// is left to the reading that follows).
int refuse_unusable_file(const char* name);

// Prints that an image ends inside section number (no S7 line closes it).
void report_unclosed_section(int number);
