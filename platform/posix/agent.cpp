#include "platform/agent.h"

#include <dlfcn.h>

// The agent library is loaded before the module, in the process's global scope.
void *platform_agent_function(const char *name) { return dlsym(RTLD_DEFAULT, name); }
