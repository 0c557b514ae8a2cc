// The download engine: stop-and-wait download of an image and the reboot
// hand-over after the boot section.
#pragma once

#include <cstdint>

// Downloads the image at image_path (accepted by check_image) from
// image_offset; returns when the image is exhausted, on esc, at the fifth
// refusal of a record or when the user stops at the reboot prompt. Failures
// are reported into run_outcome.
void run_download(const char* image_path);

constexpr int handover_continue = 0;
constexpr int handover_terminate = 1;
constexpr int handover_port_lost = 2;

// Makes the instrument restart into new boot code and waits until it answers
// again (or the user power-cycles it). handover_continue,
// handover_terminate (esc at the prompt, or no keyboard to answer it) or
// handover_port_lost (the port's device went away).
int reboot_handover();

// What drop_unjudged_input drops: what the port has read ahead only, or
// that and everything the device holds.
constexpr int drop_read_ahead = 0;
constexpr int drop_all = 1;
// Drops what was received and not yet judged: the number of bytes dropped,
// or receive_lost when the port's device has gone away.
int32_t drop_unjudged_input(int what);
