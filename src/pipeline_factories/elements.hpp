#pragma once
// Element helpers shared by the network factories.
#include <gio/gio.h>
#include <gst/gst.h>

#include <memory>
#include <string>

#include "strovix/gst/handles.hpp"
#include "logging/url.hpp"

namespace strovix::detail {

// Credentials travel only as properties; the location the element keeps, and quotes in its
// messages and debug output, has none.
void set_credentials(GstElement* src, const StreamUrl& url);

// The certificates of a PEM file, or null for an empty name. Throws StreamSetupError when the
// file cannot be read or holds no certificate.
std::shared_ptr<GTlsDatabase> load_tls_database(const std::string& ca_file);

GstElement* make_element(const char* factory, const char* name = nullptr);

// Adds a new element to the bin, which then owns it; when the bin refuses it, the element is
// freed.
bool add_to_bin(GstBin* bin, GstElement* element);

// Creates the element and adds it to the bin, which then owns it. Throws StreamSetupError.
GstElement* add_element(GstBin* bin, const char* factory, const char* name = nullptr);

// Posts an error the reader found itself. Its cause travels in the details (CAUSE_FIELD, read
// by error_cause): `cause`, or the text itself when none is given.
void post_error(GstElement* element, GQuark domain, gint code, const std::string& text,
                const std::string& debug = {}, const std::string& cause = {});

CapsPtr pad_caps(GstPad* pad);

// The name of the caps' first structure, or "" for empty or ANY caps.
std::string caps_name(const GstCaps* caps);

// Gives a pad nobody decodes a sink, so its stream cannot stall or fail the others.
void sink_unused_pad(GstBin* bin, GstPad* pad);

ElementPtr parent_bin(GstElement* element);

}  // namespace strovix::detail
