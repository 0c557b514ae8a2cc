// Link probe and identification of the instrument.
#pragma once

#include <cstdint>

// The identification query; send_line appends the final CR on the wire.
constexpr char identification_query[] = "\r\n?\r\n";

// Probes COM(port_index + 1) at baud: opens the port, discards stale input,
// sends the query and reads one answer line (first byte within 336 ms, each
// later one within 112 ms of the one before, the whole line within
// 336 + 64 x 112 ms).
// probe_answered (0): the answer named a version; versions stored, the port
// stays open.
// probe_no_answer (-1): no complete line in time; the port is closed.
// probe_port_lost (-2): the port's device went away; the port is closed.
// probe_cannot_open (-3): "Cannot open COM%d.\n" has been printed.
// probe_invalid_device (-4): the answer names no version; "Invalid device
// connected to COM%d.\n" has been printed. The run cannot go on after
// either: the caller ends it.
constexpr int probe_answered = 0;
constexpr int probe_no_answer = -1;
constexpr int probe_port_lost = -2;
constexpr int probe_cannot_open = -3;
constexpr int probe_invalid_device = -4;
int probe_instrument(uint32_t baud);

// Reads the version fields of an identification answer held in reply_line
// into instrument_version, appl_version and dsp_version. 0 when a version
// field was found, -1 when there is none (versions left as they were).
int parse_identification(const char* line);
