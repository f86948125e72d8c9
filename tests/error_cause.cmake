strovix_add_test(error_cause_test LABEL integration SOURCES error_cause_test.cpp)

