# libFuzzer targets, built with clang in the sanitizer preset.  Under ctest
# each one fuzzes for a few seconds, starting from its seeds in
# fuzz/corpus/<name>/ (see docs/FUZZING.md).
if(OV_FUZZ)
  set(OV_FUZZ_SECONDS 12 CACHE STRING "seconds each fuzzer runs under ctest")
  set(OV_FUZZ_MAX_RUNS 500000 CACHE STRING "most inputs each fuzzer tries under ctest")
  function(ov_add_fuzzer name)
    add_executable(${name} fuzz/${name}.cpp ${ARGN})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_include_directories(${name} PRIVATE support)
    target_link_libraries(${name} PRIVATE ov_core ov_tools_platform)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/fuzz-run/${name})
    add_test(NAME fuzz.${name}
      COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}> -DSEEDS=${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${name}
              -DWORK=${work} -DSECONDS=${OV_FUZZ_SECONDS} -DRUNS=${OV_FUZZ_MAX_RUNS}
              -P ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/run_fuzzer.cmake)
    # A profile and a set of named objects of the test's own.
    set_tests_properties(fuzz.${name} PROPERTIES
      ENVIRONMENT "XDG_CONFIG_HOME=${work}/profile"
      ENVIRONMENT_MODIFICATION "OVDELETE_NAMESPACE=set:fuzz-${OV_BUILD_HASH}-${name}")
  endfunction()
  ov_add_fuzzer(pattern_fuzz support/fake_platform.cpp)
  ov_add_fuzzer(find_fuzz)
  ov_add_fuzzer(profile_fuzz)
  ov_add_fuzzer(delete_fuzz support/fake_platform.cpp)
  ov_add_fuzzer(client_fuzz)
endif()
