// Terminal mode: the keyboard and the console joined to the serial line.
#pragma once

// Passes bytes between the serial port (already open) and the console until
// esc is pressed (or the keyboard's input ended and the line is quiet); then
// ends the text shown with a line end when it has none.
void terminal_mode();
