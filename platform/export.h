// Symbol visibility for the two libraries' public entry points. The module
// and the agent library are built with every symbol hidden; only what is
// marked here is visible to the process that loads them.
#pragma once

#if defined(_WIN32)
#define OSTRIK_EXPORT __declspec(dllexport)
// Callers declare the agent's functions without dllimport: a call through the
// import library's stub reaches varnock.dll all the same, and the unit tests
// link the same objects against a static test double of the agent.
#if defined(VARNOCK_BUILDING_LIBRARY)
#define VARNOCK_API __declspec(dllexport)
#else
#define VARNOCK_API
#endif
#else
#define OSTRIK_EXPORT __attribute__((visibility("default")))
#define VARNOCK_API __attribute__((visibility("default")))
#endif

// printf-style checking of a function's format and arguments. MinGW builds
// use the C99 printf family, which GCC calls gnu_printf there.
#if defined(__MINGW32__)
#define PLATFORM_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define PLATFORM_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define PLATFORM_PRINTF_FORMAT(f, a)
#endif
