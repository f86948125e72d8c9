#pragma once
// The reader settings that strovix-read's options give, for one stream or a list of them.
#include "read/read_args.hpp"
#include "strovix/stream_reader/gst.hpp"

namespace strovix::tools {

GstStreamReader::Options reader_options(const ReadArgs& args);
RuntimeOptions reader_runtime_options(const ReadArgs& args);

}  // namespace strovix::tools
