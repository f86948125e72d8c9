# A host's include of the reader must not pull in GStreamer, GLib or the logging library:
# preprocess a one-line host and look at every header it reaches.
file(WRITE "${WORK}/host.cpp" "#include \"strovix/stream_reader/gst.hpp\"\nint main() {}\n")
execute_process(COMMAND "${CXX}" -std=c++20 -E -H -I "${INCLUDE}" -I "${GENERATED}" "${WORK}/host.cpp"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE headers)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the host does not preprocess:\n${headers}")
endif()
string(REGEX MATCHALL "[^\n]*(gst/|glib|gobject|spdlog|fmt/)[^\n]*" bad "${headers}")
if(bad)
  message(FATAL_ERROR "a host's include reaches library internals:\n${bad}")
endif()
string(REGEX MATCHALL "\n" lines "${out}")
list(LENGTH lines n)
message(STATUS "preprocessed host: ${n} lines")
