// The script player: plays a script file against the instrument.
#pragma once

#include <cstdio>

// Plays a script. With file null the player opens name itself and starts at
// its first line; with an open file it starts at the file's position. The
// player closes the file before it returns.
void play_script(const char* name, FILE* file);

// Reads one logical line (continuations joined) into buffer of size bytes.
// 1 when a line was read, 0 at the end of the script.
int read_script_line(char* buffer, int size, FILE* file);
