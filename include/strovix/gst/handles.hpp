#pragma once
// RAII handles for GStreamer and GLib references: every pointer the library holds is owned by
// one of these.
#include <gst/gst.h>

#include <memory>

namespace strovix {

struct GstObjectUnref {
  void operator()(gpointer p) const noexcept {
    if (p) gst_object_unref(p);
  }
};
template <class T>
using GstObjectPtr = std::unique_ptr<T, GstObjectUnref>;
using ElementPtr = GstObjectPtr<GstElement>;
using PadPtr = GstObjectPtr<GstPad>;
using BusPtr = GstObjectPtr<GstBus>;

// For any GObject (GIO objects, TLS databases, cancellables).
struct GObjectUnref {
  void operator()(gpointer p) const noexcept {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
// A shared owner of one GObject reference (taken over from the caller).
template <class T>
std::shared_ptr<T> share_gobject(T* object) {
  return std::shared_ptr<T>(object, GObjectUnref{});
}

struct GstSampleUnref {
  void operator()(GstSample* s) const noexcept {
    if (s) gst_sample_unref(s);
  }
};
using SamplePtr = std::unique_ptr<GstSample, GstSampleUnref>;

struct GstCapsUnref {
  void operator()(GstCaps* c) const noexcept {
    if (c) gst_caps_unref(c);
  }
};
using CapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;

struct GstMessageUnref {
  void operator()(GstMessage* m) const noexcept {
    if (m) gst_message_unref(m);
  }
};
using MessagePtr = std::unique_ptr<GstMessage, GstMessageUnref>;

struct GstStructureFree {
  void operator()(GstStructure* s) const noexcept {
    if (s) gst_structure_free(s);
  }
};
using StructurePtr = std::unique_ptr<GstStructure, GstStructureFree>;

struct GstIteratorFree {
  void operator()(GstIterator* it) const noexcept {
    if (it) gst_iterator_free(it);
  }
};
using IteratorPtr = std::unique_ptr<GstIterator, GstIteratorFree>;

struct GErrorFree {
  void operator()(GError* e) const noexcept {
    if (e) g_error_free(e);
  }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GUriUnref {
  void operator()(GUri* u) const noexcept {
    if (u) g_uri_unref(u);
  }
};
using UriPtr = std::unique_ptr<GUri, GUriUnref>;

struct GSourceUnref {
  void operator()(GSource* s) const noexcept {
    if (s) g_source_unref(s);
  }
};
using SourcePtr = std::unique_ptr<GSource, GSourceUnref>;

struct GMainContextUnref {
  void operator()(GMainContext* c) const noexcept {
    if (c) g_main_context_unref(c);
  }
};
using MainContextPtr = std::unique_ptr<GMainContext, GMainContextUnref>;

struct GFreeDeleter {
  void operator()(gpointer p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

}  // namespace strovix
