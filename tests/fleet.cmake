# strovix-read --cameras: the fleet run, its status server (real HTTP clients, Chromium) and
# shards. Slow: a browser and two minutes of readers.
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  strovix_add_test(fleet_test LABEL slow SOURCES fleet_test.cpp)
  target_compile_definitions(fleet_test PRIVATE STROVIX_READ_PATH="$<TARGET_FILE:strovix-read>"
    STROVIX_FLEET_CHECK="${CMAKE_CURRENT_SOURCE_DIR}/fleet_http_check.py")
  target_compile_definitions(fleet_test PRIVATE STROVIX_READ_SERVE=$<BOOL:${STROVIX_SERVE}>)
  add_dependencies(fleet_test strovix-read)
endif()
