// Terminal mode: the keyboard and the console joined to the serial line.
#pragma once

// Passes bytes between the serial port (already open) and the console until
// esc is pressed.
void terminal_mode();
