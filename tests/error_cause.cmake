strovix_add_test(error_cause_test LABEL integration SOURCES error_cause_test.cpp)

# GCC 12's LeakSanitizer crashes at exit ("Tracer caught signal 11" on a garbage dynamic-TLS
# range) in a process that made a GnuTLS handshake on a thread, as the HTTPS cause check does
# on glibc 2.36. Leak checking is off for that one case only; AddressSanitizer stays on.
if(STROVIX_SANITIZE STREQUAL "address")
  set(STROVIX_CAUSE_PROPS "${CMAKE_CURRENT_BINARY_DIR}/error_cause_properties.cmake")
  file(WRITE "${STROVIX_CAUSE_PROPS}" [=[
foreach(t IN LISTS error_cause_test_TESTS)
  if(t MATCHES "https")
    set_tests_properties("${t}" PROPERTIES ENVIRONMENT
                         "ASAN_OPTIONS=detect_leaks=0:fast_unwind_on_malloc=0:halt_on_error=1")
  endif()
endforeach()
]=])
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${STROVIX_CAUSE_PROPS}")
endif()
