# What `cmake --install` puts in place, and the packages CPack builds from
# it (scripts/package builds them all):
#   Linux:   the library (libovdelete.so.1), the header, ovlogger and
#            ovhost, a CMake package (find_package(ovdelete CONFIG) gives
#            ovdelete::ovdelete) and ovdelete.pc; a .deb and a .tar.gz.
#   Windows: OVDELETE.dll (stripped), the tools, the header, the export
#            table (ovdelete.def), an import library for C hosts and a
#            README for Windows users; a ZIP per architecture.
install(FILES ${PROJECT_SOURCE_DIR}/include/ovdelete.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-Windows.txt DESTINATION . RENAME README.txt)
else()
  include(CMakePackageConfigHelpers)
  set(OV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ovdelete)
  install(EXPORT ovdeleteTargets NAMESPACE ovdelete:: DESTINATION ${OV_CMAKE_PACKAGE_DIR})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/ovdeleteConfig.cmake.in
    ${CMAKE_BINARY_DIR}/packaging/ovdeleteConfig.cmake INSTALL_DESTINATION ${OV_CMAKE_PACKAGE_DIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/ovdeleteConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/ovdeleteConfig.cmake
    ${CMAKE_BINARY_DIR}/packaging/ovdeleteConfigVersion.cmake DESTINATION ${OV_CMAKE_PACKAGE_DIR})
  # A pkg-config file that finds the prefix from where it lies, so that the
  # installed tree can be moved (a .tar.gz unpacked anywhere).
  file(RELATIVE_PATH OV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/ovdelete.pc.in ${CMAKE_BINARY_DIR}/packaging/ovdelete.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/ovdelete.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

set(CPACK_PACKAGE_NAME ovdelete)
set(CPACK_PACKAGE_VENDOR "OVDELETE")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Wildcard file deletion for Quonvel scripts, with its diagnostic logger")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "OVDELETE maintainers <ovdelete@localhost>")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
  # Everything at the top of the archive, not under a versioned directory.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.33)")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Wildcard file deletion for Quonvel scripts
 libovdelete deletes every file a wildcard pattern matches and reports why
 a deletion was refused to the ovlogger process; ovhost loads it as a host
 does.")
endif()
include(CPack)
