# The network-fault suite: each test runs in a private network namespace (root, or user
# namespaces) with nftables rules; select with `ctest -L netfault`.
strovix_add_test(network_loss_test LABEL netfault SOURCES network_loss_test.cpp)
