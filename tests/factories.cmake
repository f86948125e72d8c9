strovix_add_test(factories_test LABEL unit SOURCES factories_test.cpp)
