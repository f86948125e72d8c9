# strovix-read --cameras: the fleet run, its status server (real HTTP clients, Chromium) and
# shards. Slow: a browser and two minutes of readers.
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  strovix_add_test(fleet_test LABEL slow SOURCES fleet_test.cpp)
  target_compile_definitions(fleet_test PRIVATE STROVIX_READ_PATH="$<TARGET_FILE:strovix-read>"
    STROVIX_FLEET_CHECK="${CMAKE_CURRENT_SOURCE_DIR}/fleet_http_check.py"
    STROVIX_SERVE_HOSTILE_CHECK="${CMAKE_CURRENT_SOURCE_DIR}/serve_hostile_check.py")
  target_compile_definitions(fleet_test PRIVATE STROVIX_READ_SERVE=$<BOOL:${STROVIX_SERVE}>)
  # libxcrypt makes the status server's password hashes, libjpeg-turbo decodes its snapshots.
  pkg_check_modules(FLEET_TEST_DEPS REQUIRED IMPORTED_TARGET libxcrypt libturbojpeg)
  target_link_libraries(fleet_test PRIVATE PkgConfig::FLEET_TEST_DEPS)
  add_dependencies(fleet_test strovix-read)
endif()
# The fleet's list, reload plan and shard arithmetic as functions, and the JSON log format.
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  set(strovix_tools ${PROJECT_SOURCE_DIR}/tools)
  strovix_add_test(fleet_list_test SOURCES fleet_list_test.cpp
    ${strovix_tools}/fleet/camera_list.cpp ${strovix_tools}/fleet/shard.cpp
    ${strovix_tools}/fleet/fleet_members.cpp ${strovix_tools}/read/read_args.cpp
    ${strovix_tools}/common/reader_setup.cpp ${strovix_tools}/common/option_arg.cpp
    ${strovix_tools}/common/run_loop.cpp ${strovix_tools}/common/run_wait.cpp)
  target_include_directories(fleet_list_test PRIVATE ${strovix_tools})
endif()
# The fleet while its list and shard count change (child processes, the RTSP test server).
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  strovix_add_test(fleet_reload_test LABEL slow SOURCES fleet_reload_test.cpp)
  target_compile_definitions(fleet_reload_test PRIVATE STROVIX_READ_PATH="$<TARGET_FILE:strovix-read>")
  add_dependencies(fleet_reload_test strovix-read)
endif()
