# The library's own logic against a scripted platform, and against the real
# backend with real temporary directories.
ov_add_test(delete_test delete_test.cpp)
ov_add_test(diag_test diag_test.cpp)
ov_add_test(library_test library_test.cpp)
