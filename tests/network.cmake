# Network faults in a private network namespace (ctest label "network"): each test runs
# itself again under `unshare -n` as root, where nftables cuts the reader's UDP.
strovix_add_test(network_cut_test LABEL network SOURCES network_cut_test.cpp)
