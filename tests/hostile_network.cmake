# Hostile cameras and servers on loopback: redirects, secrets in URLs, control characters.
strovix_add_test(hostile_network_test LABEL reliability SOURCES hostile_network_test.cpp)
