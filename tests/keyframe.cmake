strovix_add_test(keyframe_test LABEL integration SOURCES keyframe_test.cpp)
