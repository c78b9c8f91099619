#include "platform/agent.h"

#include <windows.h>

// The agent's functions live in varnock.dll, which the module imports from
// and so is loaded before it.
void *platform_agent_function(const char *name) {
  HMODULE agent = GetModuleHandleA("varnock.dll");
  return agent != nullptr ? reinterpret_cast<void *>(GetProcAddress(agent, name)) : nullptr;
}
