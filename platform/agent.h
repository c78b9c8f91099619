// Functions that only some agents offer, found at run time: a module that
// named them at link time would not load in an agent without them.
#pragma once

// The agent library's function of this name, or null when the agent that
// loaded the module has none.
void *platform_agent_function(const char *name);
