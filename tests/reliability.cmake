# Reliability and security suite (ctest label "reliability"): network faults through a TCP
# fault proxy, a restart soak with descriptor/thread/memory/object-leak checks, lifecycle at
# every phase, busy-loop checks, many readers, bad input and credential hygiene.
strovix_add_test(reliability_faults_test LABEL reliability SOURCES reliability_faults_test.cpp)
strovix_add_test(reliability_soak_test LABEL reliability SOURCES reliability_soak_test.cpp)
strovix_add_test(reliability_lifecycle_test LABEL reliability SOURCES reliability_lifecycle_test.cpp)
strovix_add_test(reliability_load_test LABEL reliability SOURCES reliability_load_test.cpp)
strovix_add_test(reliability_input_test LABEL reliability SOURCES reliability_input_test.cpp)
strovix_add_test(reliability_isolation_test LABEL reliability SOURCES reliability_isolation_test.cpp)

# Test properties beyond what strovix_add_test sets, applied when CTest loads the discovered
# tests (gtest_discover_tests lists them at test time and leaves their names in
# <target>_TESTS).
set(STROVIX_RELIABILITY_PROPS "${CMAKE_CURRENT_BINARY_DIR}/reliability_properties.cmake")
file(WRITE "${STROVIX_RELIABILITY_PROPS}" [=[
foreach(t IN LISTS reliability_soak_test_TESTS)
  # The leaks tracer counts GStreamer objects left behind; the soak reads it.
  set_tests_properties("${t}" PROPERTIES ENVIRONMENT "GST_TRACERS=leaks" TIMEOUT 600)
endforeach()
foreach(t IN LISTS reliability_lifecycle_test_TESTS reliability_isolation_test_TESTS)
  # Thread-safety of close/wait/destroy at every phase: run under ThreadSanitizer too.
  set_tests_properties("${t}" PROPERTIES LABELS "reliability;threading")
endforeach()
]=])
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${STROVIX_RELIABILITY_PROPS}")
