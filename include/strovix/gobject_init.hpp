#pragma once

#include "strovix/export.hpp"

namespace strovix::gobject_init {

enum class MainContext {
  // The library drives the global default GLib main context on a thread of its own
  // ("GLibMainLoop") for the rest of the process: it acquires the context, so a host's own
  // g_main_loop_run on the default context would see its sources run on that thread.
  DRIVE,
  // The host already runs (or will run) a loop on the default context, for instance a GTK
  // or GLib application: the library starts no thread and relies on the host's loop to
  // dispatch its bus watches. Readers receive no end-of-stream or error while that loop is
  // not running.
  HOST,
};

// Initialises GStreamer once per process and makes sure the global default GLib main
// context is iterated, so that the readers' bus watches are dispatched. Safe to call from
// any thread, any number of times; the first call's choice holds for the process.
STROVIX_EXPORT void start(MainContext main_context = MainContext::DRIVE);

// Throws std::runtime_error unless start() has run.
STROVIX_EXPORT void assert_started();

STROVIX_EXPORT bool is_started();

}  // namespace strovix::gobject_init
