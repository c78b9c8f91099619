// The agent process's optional functions: those a newer agent offers beyond
// the ones every agent has, looked up by name while the module runs, so that
// the module still loads into an agent without them.
#pragma once

// The address of the agent's function of this name, or null when the agent
// does not offer it.
void *platform_agent_function(const char *name);
