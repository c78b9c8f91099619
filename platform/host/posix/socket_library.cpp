#include "platform/host/socket_library.h"

bool platform_socket_library_start(void) { return true; }

void platform_socket_library_stop(void) {}
