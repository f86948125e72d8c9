#pragma once

#include "strovix/export.hpp"

namespace strovix::gobject_init {

// Initialises GStreamer once per process and keeps the global default GLib main context
// iterated on a thread of its own ("GLibMainLoop"), so that bus watches are dispatched.
// Safe to call from any thread, any number of times.
STROVIX_EXPORT void start();

// Throws std::runtime_error unless start() has run.
STROVIX_EXPORT void assert_started();

STROVIX_EXPORT bool is_started();

}  // namespace strovix::gobject_init
