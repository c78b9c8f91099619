// Symbol visibility for the two libraries' public entry points. The module
// and the agent library are built with every symbol hidden; only what is
// marked here is visible to the process that loads them.
#pragma once

#if defined(_WIN32)
#define OSTRIK_EXPORT __declspec(dllexport)
#if defined(VARNOCK_BUILDING_LIBRARY)
#define VARNOCK_API __declspec(dllexport)
#else
#define VARNOCK_API __declspec(dllimport)
#endif
#else
#define OSTRIK_EXPORT __attribute__((visibility("default")))
#define VARNOCK_API __attribute__((visibility("default")))
#endif
