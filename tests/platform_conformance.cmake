# The platform backends' conformance: one suite, every backend.
ov_add_test(platform_conformance_test platform_conformance_test.cpp)

# The profile cases rewrite the user's WIN.INI as a whole, as
# WriteProfileStringA does: two at once could lose each other's lines, so
# they take turns.  The cases are discovered when the tests run; this
# script, included by ctest after the discovery, marks those it finds.
set(OV_PLATFORM_PROFILE_LOCK ${CMAKE_CURRENT_BINARY_DIR}/platform_profile_lock.cmake)
file(WRITE ${OV_PLATFORM_PROFILE_LOCK}
  "foreach(test IN LISTS platform_conformance_test_TESTS)\n"
  "  if(test MATCHES \"^PlatformProfile[.]\")\n"
  "    set_tests_properties(\${test} PROPERTIES RESOURCE_LOCK user_profile)\n"
  "  endif()\n"
  "endforeach()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${OV_PLATFORM_PROFILE_LOCK})
