#pragma once
// libstrovix is built with hidden symbols: only declarations marked STROVIX_EXPORT are part of
// its binary interface, so internals stay free to change within a minor version.
#if defined(__GNUC__) || defined(__clang__)
#define STROVIX_EXPORT __attribute__((visibility("default")))
// A member of an exported class that only the library itself calls (it takes internal types).
#define STROVIX_INTERNAL __attribute__((visibility("hidden")))
#else
#define STROVIX_EXPORT
#define STROVIX_INTERNAL
#endif
