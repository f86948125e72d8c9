# Reliability and security suite (ctest label "reliability"): network faults through a TCP
# fault proxy, a restart soak with descriptor/thread/memory/object-leak checks, lifecycle at
# every phase, busy-loop checks, many readers, bad input and credential hygiene.
strovix_add_test(reliability_faults_test LABEL reliability SOURCES reliability_faults_test.cpp)
