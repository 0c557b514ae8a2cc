#include "download/download.h"

int reboot_handover() {
    return handover_terminate;
}
