# The host of the differential check (tests/differential/run.py): one
# process makes every scenario's FileDeleteWC call, each in its own
# directory.  It sits beside the library, as ovhost does.
add_executable(ovdiffhost differential/ovdiffhost.cpp)
target_include_directories(ovdiffhost PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(ovdiffhost PRIVATE ov_tools_platform)
add_dependencies(ovdiffhost ovdelete)
