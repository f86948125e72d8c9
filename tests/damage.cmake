strovix_add_test(damage_gate_test LABEL unit SOURCES damage_gate_test.cpp)
