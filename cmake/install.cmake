# Installation: the library, its public headers, the zelvar tool, the
# schema files, a CMake package (find_package(Zelvar) gives Zelvar::zelvar)
# and a pkg-config file, in the places GNUInstallDirs names.
include(CMakePackageConfigHelpers)

set(ZELVAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zelvar)

install(TARGETS zelvar EXPORT ZelvarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zelvar
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/schema/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zelvar/schema COMPONENT runtime
  FILES_MATCHING PATTERN "*.sql")
if(TARGET zelvar-cli)
  install(TARGETS zelvar-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

install(EXPORT ZelvarTargets NAMESPACE Zelvar:: DESTINATION ${ZELVAR_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZelvarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZelvarConfig.cmake
  INSTALL_DESTINATION ${ZELVAR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZelvarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZelvarConfig.cmake ${PROJECT_BINARY_DIR}/ZelvarConfigVersion.cmake
  DESTINATION ${ZELVAR_CMAKE_DIR} COMPONENT development)

# pkg-config: written at install time, so that the prefix in the file is
# the one installed to (also with cmake --install --prefix).
set(ZELVAR_PC_TEMPLATE ${PROJECT_SOURCE_DIR}/cmake/zelvar.pc.in)
install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(ZELVAR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_LIBDIR}\")
    set(ZELVAR_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(pc_dir \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  else()
    set(ZELVAR_PC_LIBDIR \"\\\${prefix}/${CMAKE_INSTALL_LIBDIR}\")
    set(pc_dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  endif()
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(ZELVAR_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  else()
    set(ZELVAR_PC_INCLUDEDIR \"\\\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\")
  endif()
  configure_file(\"${ZELVAR_PC_TEMPLATE}\" \"\$ENV{DESTDIR}\${pc_dir}/zelvar.pc\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${pc_dir}/zelvar.pc\")
" COMPONENT development)
