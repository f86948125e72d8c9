# Credentials: the URL module, and every password character through readers and strovix-read.
if(STROVIX_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
  strovix_add_test(credentials_test LABEL reliability SOURCES credentials_test.cpp)
  target_compile_definitions(credentials_test PRIVATE STROVIX_READ_PATH="$<TARGET_FILE:strovix-read>")
  add_dependencies(credentials_test strovix-read)
endif()

# Hundreds of readers and strovix-read runs: about a minute, more under the sanitizers.
set(STROVIX_CREDENTIALS_PROPS "${CMAKE_CURRENT_BINARY_DIR}/credentials_properties.cmake")
file(WRITE "${STROVIX_CREDENTIALS_PROPS}" [=[
foreach(t IN LISTS credentials_test_TESTS)
  set_tests_properties("${t}" PROPERTIES TIMEOUT 600)
endforeach()
]=])
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${STROVIX_CREDENTIALS_PROPS}")
