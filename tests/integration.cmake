# End-to-end cases: the real ovlogger and ovhost (and, on Windows,
# ovdbgview) over the real library.
ov_add_test(integration_test integration_test.cpp)
add_dependencies(integration_test ovlogger ovhost ovdelete)
if(TARGET ovdbgview)
  add_dependencies(integration_test ovdbgview)
endif()
# --version must print the project's version.
target_compile_definitions(integration_test PRIVATE OV_VERSION="${PROJECT_VERSION}")

# The cases share the session's one set of logger objects and the user's
# profile with every other program that uses them, so each runs alone.  The
# cases are discovered when the tests run; this script, included by ctest
# after the discovery, marks whatever was found.
set(OV_INTEGRATION_SERIAL ${CMAKE_CURRENT_BINARY_DIR}/integration_serial.cmake)
file(WRITE ${OV_INTEGRATION_SERIAL}
  "if(integration_test_TESTS)\n"
  "  set_tests_properties(\${integration_test_TESTS} PROPERTIES RUN_SERIAL TRUE)\n"
  "endif()\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${OV_INTEGRATION_SERIAL})
