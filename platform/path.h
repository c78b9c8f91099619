// The character that separates directories in the agent's path.
#pragma once

#if defined(_WIN32)
#define PLATFORM_PATH_SEPARATOR '\\'
#else
#define PLATFORM_PATH_SEPARATOR '/'
#endif
