strovix_add_test(core_test SOURCES core_test.cpp)
strovix_add_test(state_test SOURCES state_test.cpp)
strovix_add_test(supervision_test LABEL threading SOURCES supervision_test.cpp)
strovix_add_test(host_api_test LABEL threading SOURCES host_api_test.cpp)
add_test(NAME header_hygiene
         COMMAND ${CMAKE_COMMAND} -DCXX=${CMAKE_CXX_COMPILER} -DINCLUDE=${PROJECT_SOURCE_DIR}/include
                 -DGENERATED=${PROJECT_BINARY_DIR}/include -DWORK=${CMAKE_CURRENT_BINARY_DIR}
                 -P ${PROJECT_SOURCE_DIR}/cmake/HeaderHygiene.cmake)
set_tests_properties(header_hygiene PROPERTIES LABELS unit)
