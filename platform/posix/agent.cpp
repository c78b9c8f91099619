#include "platform/agent.h"

#include <dlfcn.h>

// The agent library is loaded with the program, before the module, so its
// functions are in the process's global scope.
void *platform_agent_function(const char *name) { return dlsym(RTLD_DEFAULT, name); }
