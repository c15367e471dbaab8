# Cases that only Windows has: sharing violations, attribute bits on
# directories, a registered message between processes, and ovdbgview.
if(WIN32)
  ov_add_test(win32_only_test win32_only_test.cpp)
  add_dependencies(win32_only_test ovhost ovdelete)

  add_executable(win32_debug_writer win32_debug_writer.cpp)
  ov_add_test(ovdbgview_test ovdbgview_test.cpp)
  add_dependencies(ovdbgview_test ovdbgview win32_debug_writer)

  # The notification case publishes the session's one set of logger
  # objects, and the DBWIN channel is the session's too: these cases run
  # alone, as the integration cases do.
  set(OV_WIN32_ONLY_SERIAL ${CMAKE_CURRENT_BINARY_DIR}/win32_only_serial.cmake)
  file(WRITE ${OV_WIN32_ONLY_SERIAL}
    "foreach(suite win32_only_test_TESTS ovdbgview_test_TESTS)\n"
    "  if(\${suite})\n"
    "    set_tests_properties(\${\${suite}} PROPERTIES RUN_SERIAL TRUE)\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${OV_WIN32_ONLY_SERIAL})
endif()
