# Network faults in a private network namespace (ctest label "network"): each test runs
# itself again under `unshare -n` as root, where nftables cuts the reader's UDP.
strovix_add_test(network_cut_test LABEL network SOURCES network_cut_test.cpp)
# The network-fault suite: each test runs in a private network namespace (root, or user
# namespaces) with nftables rules; select with `ctest -L netfault`.
strovix_add_test(network_loss_test LABEL netfault SOURCES network_loss_test.cpp)
