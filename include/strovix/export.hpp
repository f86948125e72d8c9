#pragma once
// libstrovix is built with hidden symbols: only declarations marked STROVIX_EXPORT are part of
// its binary interface, so internals stay free to change within a minor version.
#if defined(__GNUC__) || defined(__clang__)
#define STROVIX_EXPORT __attribute__((visibility("default")))
#else
#define STROVIX_EXPORT
#endif
