// The socket library of a program that hosts modules. Windows needs it
// started once per process before any socket call (modules never start it
// themselves); POSIX needs nothing.
#pragma once

// True when sockets can be used.
bool platform_socket_library_start(void);
void platform_socket_library_stop(void);
