// Holds a file open for writing, as an editor or a copy in progress does,
// without writing to it, for the Wine tests of kelo's download file:
//
//   wine hold_check.exe FILE SECONDS
//
// Creates FILE.held once the file is open, and closes it when FILE.done
// appears or SECONDS have passed. Exit status 0 when the file could be held.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string path = argv[1];
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::fclose(std::fopen((path + ".held").c_str(), "w"));
    for (int tenths = std::atoi(argv[2]) * 10; tenths > 0; --tenths) {
        if (GetFileAttributesA((path + ".done").c_str()) != INVALID_FILE_ATTRIBUTES) break;
        Sleep(100);
    }
    CloseHandle(file);
    return 0;
}
