// Linkage and calling-convention macros shared by every library boundary of
// the system: the plug-in's four exports and the host libraries it imports.
#pragma once

// 32-bit Windows hosts call their plug-ins and libraries with the
// standard-call convention (the callee removes its arguments); everywhere
// else the platform's default C convention is the only one there is.
#if defined(_WIN32) && defined(__i386__)
#define ORVIK_STDCALL __stdcall
#else
#define ORVIK_STDCALL
#endif

#if defined(_WIN32)
#define ORVIK_EXPORT __declspec(dllexport)
#define ORVIK_IMPORT __declspec(dllimport)
#else
#define ORVIK_EXPORT __attribute__((visibility("default")))
#define ORVIK_IMPORT
#endif
