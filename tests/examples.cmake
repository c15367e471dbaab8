# The host examples of docs/HOSTS.md (examples/), built and run as a host
# would run them, and the guide's copies of them checked against the files.
set(OV_EXAMPLES ${PROJECT_SOURCE_DIR}/examples)
set(OV_EXAMPLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/example-files)
file(MAKE_DIRECTORY ${OV_EXAMPLE_DIR})
set(OV_EXAMPLE_TEMPLATE "PasteArgs: 0x001D000F [Ff]ile[Dd]elete[Ww][Cc]\\( WildCard_String \\);")

function(ov_example_test name)
  add_test(NAME example.${name} COMMAND ${ARGN})
  set_tests_properties(example.${name} PROPERTIES
    ENVIRONMENT "XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/test-profile"
    ENVIRONMENT_MODIFICATION "OVDELETE_NAMESPACE=set:${OV_TEST_NAMESPACE}")
endfunction()

if(WIN32)
  add_executable(host_windows ${OV_EXAMPLES}/host_windows.c)
  target_include_directories(host_windows PRIVATE ${PROJECT_SOURCE_DIR}/include)
  add_dependencies(host_windows ovdelete)
  ov_example_test(windows host_windows $<TARGET_FILE:ovdelete> "nowhere\\*.none")
  set_tests_properties(example.windows PROPERTIES
    PASS_REGULAR_EXPRESSION "FileDeleteWC: 0\r?\n${OV_EXAMPLE_TEMPLATE}")
else()
  add_executable(host_linked ${OV_EXAMPLES}/host_linked.c)
  target_link_libraries(host_linked PRIVATE ovdelete)
  target_include_directories(host_linked PRIVATE ${PROJECT_SOURCE_DIR}/include)
  ov_example_test(linked host_linked ${OV_EXAMPLE_DIR})
  set_tests_properties(example.linked PROPERTIES PASS_REGULAR_EXPRESSION "FileDeleteWC: 1\n${OV_EXAMPLE_TEMPLATE}")

  add_executable(host_dlopen ${OV_EXAMPLES}/host_dlopen.c)
  target_include_directories(host_dlopen PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(host_dlopen PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(host_dlopen ovdelete)
  ov_example_test(dlopen host_dlopen $<TARGET_FILE:ovdelete> ${OV_EXAMPLE_DIR}/*.none)
  set_tests_properties(example.dlopen PROPERTIES PASS_REGULAR_EXPRESSION "FileDeleteWC: 0\n${OV_EXAMPLE_TEMPLATE}")

  # The sanitizer build's library is C++ instrumented by clang: its host
  # must carry the C++ part of the sanitizer runtime, which the C driver
  # leaves out, and a Python interpreter, which loads no sanitizer runtime
  # at all, cannot host it.
  if(OV_SANITIZE)
    set_target_properties(host_linked host_dlopen PROPERTIES LINKER_LANGUAGE CXX)
  endif()

  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND AND NOT OV_SANITIZE)
    ov_example_test(ctypes ${Python3_EXECUTABLE} ${OV_EXAMPLES}/host_ctypes.py $<TARGET_FILE:ovdelete>
      ${OV_EXAMPLE_DIR}/*.none)
    set_tests_properties(example.ctypes PROPERTIES PASS_REGULAR_EXPRESSION "FileDeleteWC: 0\n${OV_EXAMPLE_TEMPLATE}")
    # Every example the guides show is one of these files, word for word.
    add_test(NAME docs.examples COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/docs_examples_check.py
      ${PROJECT_SOURCE_DIR})
  endif()
endif()

# The installed tree, as a host project finds it: CMake's package and
# pkg-config.  The sanitizer build's library needs the sanitizer runtime in
# its host, which an ordinary consumer does not have.
if(NOT WIN32 AND NOT OV_SANITIZE)
  add_test(NAME install.consumers
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/packaging/check-install.sh ${CMAKE_BINARY_DIR}
            ${OV_EXAMPLES}/host_linked.c ${CMAKE_C_COMPILER})
  set_tests_properties(install.consumers PROPERTIES
    ENVIRONMENT_MODIFICATION "OVDELETE_NAMESPACE=set:${OV_TEST_NAMESPACE}")
endif()
if(WIN32)
  # The same host, linked through the import library C hosts use.
  add_executable(host_linked ${OV_EXAMPLES}/host_linked.c)
  target_link_libraries(host_linked PRIVATE ovdelete_import)
  ov_example_test(import_library host_linked ${OV_EXAMPLE_DIR})
  set_tests_properties(example.import_library PROPERTIES
    PASS_REGULAR_EXPRESSION "FileDeleteWC: 1\r?\n${OV_EXAMPLE_TEMPLATE}")
endif()
