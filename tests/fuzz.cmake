# libFuzzer targets, built with clang in the sanitizer preset; each runs a
# bounded number of inputs as a ctest test there.
if(OV_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  function(ov_add_fuzzer name)
    add_executable(${name} fuzz/${name}.cpp ${ARGN})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_include_directories(${name} PRIVATE support)
    target_link_libraries(${name} PRIVATE ov_core ov_tools_platform)
    set(corpus ${CMAKE_CURRENT_BINARY_DIR}/fuzz-corpus/${name})
    file(MAKE_DIRECTORY ${corpus})
    add_test(NAME fuzz.${name}
      COMMAND ${name} -runs=${OV_FUZZ_RUNS} -max_len=400 -timeout=10 ${corpus})
    set_tests_properties(fuzz.${name} PROPERTIES
      ENVIRONMENT "XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/fuzz-profile" RESOURCE_LOCK fuzz)
  endfunction()
  set(OV_FUZZ_RUNS 30000 CACHE STRING "inputs each fuzzer tries under ctest")
  ov_add_fuzzer(pattern_fuzz support/fake_platform.cpp)
  ov_add_fuzzer(find_fuzz)
  ov_add_fuzzer(profile_fuzz)
endif()
