// The download image: the check before a download, the record reader with its
// three-line look-ahead, and the format constants.
#pragma once

#include <cstdint>
#include <cstdio>

// Lines of an image are read with this limit: 99 characters and the NUL.
constexpr int image_line_size = 100;

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

// Removes every trailing CR and LF of text in place.
void strip_line_end(char* text);
