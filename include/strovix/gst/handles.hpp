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

struct GErrorFree {
  void operator()(GError* e) const noexcept {
    if (e) g_error_free(e);
  }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFreeDeleter {
  void operator()(gpointer p) const noexcept { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

}  // namespace strovix
