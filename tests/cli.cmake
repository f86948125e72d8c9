# strovix-read, run as a program against the built-in stream and custom pipelines.
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  strovix_add_test(cli_test LABEL cli SOURCES cli_test.cpp)
  target_compile_definitions(cli_test PRIVATE STROVIX_READ_PATH="$<TARGET_FILE:strovix-read>")
  add_dependencies(cli_test strovix-read)
endif()
