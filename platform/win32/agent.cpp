#include "platform/agent.h"

#include <windows.h>

// The agent library is varnock.dll, loaded before the module.
void *platform_agent_function(const char *name) {
  HMODULE agent = GetModuleHandleA("varnock.dll");
  return agent != nullptr ? reinterpret_cast<void *>(GetProcAddress(agent, name)) : nullptr;
}
