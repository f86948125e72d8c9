# Hostile cameras and servers on loopback: redirects, secrets in URLs, control characters.
strovix_add_test(hostile_network_test LABEL reliability SOURCES hostile_network_test.cpp)
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  target_compile_definitions(hostile_network_test PRIVATE
                             STROVIX_READ_PATH="$<TARGET_FILE:strovix-read>")
  add_dependencies(hostile_network_test strovix-read)
endif()
