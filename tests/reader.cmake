strovix_add_test(reader_test LABEL threading SOURCES reader_test.cpp)
