# Debian packages: `cpack -G DEB` in a build tree configured with -DCMAKE_INSTALL_PREFIX=/usr
# (so GNUInstallDirs picks the multiarch library directory).
#
# Three packages, as Debian splits libraries: a deployed host needs only the runtime library,
# not the headers and -dev packages, nor gst-rtsp-server, which only the tool's test stream uses.
#   libstrovix<soversion>  libstrovix.so.<soversion>                      (component runtime)
#   libstrovix-dev         headers, libstrovix.so, CMake package, .pc     (component development)
#   strovix-tools          strovix-read                                   (component tools)
set(CPACK_PACKAGE_NAME strovix)
set(CPACK_PACKAGE_VENDOR "strovix developers")
set(CPACK_PACKAGE_CONTACT "strovix developers <strovix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Live video stream reader built on GStreamer")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(TARGET strovix-read)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# Each package depends on the runtime package of exactly this version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Debian names a library package after its soname: libstrovix.so.0.1 ships as libstrovix0.1.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libstrovix${STROVIX_SOVERSION})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libstrovix-dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME strovix-tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)

# Library dependencies of the binaries come from dpkg-shlibdeps; libstrovix itself is found in
# the build tree, as the tool's package cannot see the runtime package's files.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
# Plugins are loaded at run time, so dpkg-shlibdeps cannot see them: rtspsrc and souphttpsrc
# (good), the parsers (bad), the decoders (libav).
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-libav")
# strovix-read's test stream encodes with x264enc.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-ugly")
# What the CMake package and strovix.pc ask for when a host builds.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libgstreamer1.0-dev, libgstreamer-plugins-base1.0-dev, libglib2.0-dev, libspdlog-dev, pkg-config")

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Live video stream reader: shared library\nKeeps the newest frame of an RTSP or HTTP camera as a BGR image and restarts the stream by itself.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Live video stream reader: development files\nHeaders, the CMake package (find_package(strovix)) and strovix.pc.")
if(STROVIX_SERVE)
  set(strovix_serve_text " With --serve it runs a status server: an HTML page, /api/cameras (JSON), /metrics (Prometheus) and each camera's newest frame as JPEG.")
else()
  set(strovix_serve_text "")
endif()
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Live video stream reader: command-line reader\nstrovix-read reads one stream, or every camera of a list (--cameras, with --shard to split a fleet over hosts), and reports once a second, as text, a terminal table or JSON lines, what a host would get from it: status, frame rate, frame age, restarts and capture latency. It can write the newest frame as PNG or JPEG, and serves itself a test stream over RTSP when given no URL.${strovix_serve_text}")

include(CPack)
