strovix_add_test(capture_clock_test LABEL threading SOURCES capture_clock_test.cpp)
target_include_directories(capture_clock_test PRIVATE ${PROJECT_SOURCE_DIR}/src)
strovix_add_test(capture_time_test LABEL threading SOURCES capture_time_test.cpp)
