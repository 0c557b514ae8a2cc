// Holds FILE open for writing, as an editor or a copy under way does, without
// writing to it: "wine hold_check.exe FILE SECONDS". Creates FILE.held once
// it is open; closes it when FILE.done appears or SECONDS have passed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string path = argv[1];
    HANDLE file =
        CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::fclose(std::fopen((path + ".held").c_str(), "w"));
    for (int n = std::atoi(argv[2]) * 10;
         n > 0 && GetFileAttributesA((path + ".done").c_str()) == INVALID_FILE_ATTRIBUTES; --n)
        Sleep(100);
    CloseHandle(file);
    return 0;
}
