#include <cstring>

#include "driver/driver.h"
#include "image/image.h"

int read_image_line(char* buffer, int, FILE*) {
    reboot_pending = 0;
    buffer[0] = '\0';
    return 0;
}

void strip_line_end(char* text) {
    std::size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n')) text[--len] = '\0';
}
