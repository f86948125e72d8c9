#pragma once

namespace strovix::gobject_init {

// Initialises GStreamer once per process and keeps the global default GLib main context
// iterated on a thread of its own ("GLibMainLoop"), so that bus watches are dispatched.
// Safe to call from any thread, any number of times.
void start();

// Throws std::runtime_error unless start() has run.
void assert_started();

bool is_started();

}  // namespace strovix::gobject_init
