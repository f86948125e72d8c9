# Credentials: the URL module, and every password character through readers and strovix-read.
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  strovix_add_test(credentials_test LABEL reliability SOURCES credentials_test.cpp)
  target_compile_definitions(credentials_test PRIVATE STROVIX_READ_PATH="$<TARGET_FILE:strovix-read>")
  add_dependencies(credentials_test strovix-read)
endif()
