strovix_add_test(core_test SOURCES core_test.cpp)
strovix_add_test(state_test SOURCES state_test.cpp)
strovix_add_test(supervision_test LABEL threading SOURCES supervision_test.cpp)
