// Symbol export of the moravane library. Building the library defines
// MORAVANE_BUILDING; a static build (the tests link one) defines MORAVANE_STATIC.
#pragma once

#if defined(MORAVANE_STATIC)
#define MORAVANE_API
#elif defined(_WIN32)
#if defined(MORAVANE_BUILDING)
#define MORAVANE_API __declspec(dllexport)
#else
#define MORAVANE_API __declspec(dllimport)
#endif
#else
#define MORAVANE_API __attribute__((visibility("default")))
#endif
