// Prints the desktop's screen-saver setting ("screen saver 0" or "1") for
// the Wine tests; an argument N sets it to N first.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    BOOL active = argc > 1 ? std::atoi(argv[1]) : FALSE;
    if (argc > 1) SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, active, nullptr, 0);
    SystemParametersInfoA(SPI_GETSCREENSAVEACTIVE, 0, &active, 0);
    std::printf("screen saver %d\n", active ? 1 : 0);
}
