# Cases that only the POSIX backend has: WIN.INI as a FIFO, a device, a
# directory or a file over the reader's bound, and standard error as a pipe
# or socket whose reader has gone or does not read.
if(OV_BACKEND STREQUAL "posix")
  ov_add_test(posix_only_test posix_only_test.cpp)
  add_dependencies(posix_only_test ovhost ovdelete)

  # The host cases run ovhost with the switch off, so its line goes to the
  # session's logger when one runs: they run alone, as the integration
  # cases do.  The cases are discovered when the tests run; this script,
  # included by ctest after the discovery, marks those it finds.
  set(OV_POSIX_ONLY_SERIAL ${CMAKE_CURRENT_BINARY_DIR}/posix_only_serial.cmake)
  file(WRITE ${OV_POSIX_ONLY_SERIAL}
    "foreach(test IN LISTS posix_only_test_TESTS)\n"
    "  if(test MATCHES \"^PosixHost[.]\")\n"
    "    set_tests_properties(\${test} PROPERTIES RUN_SERIAL TRUE)\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${OV_POSIX_ONLY_SERIAL})
endif()
