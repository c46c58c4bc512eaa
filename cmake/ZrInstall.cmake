# Install rules: the static and shared libraries, zr.h, a CMake package
# (find_package(zr CONFIG)), zr.pc for pkg-config, and the programs.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZR_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/zr" CACHE STRING
    "Where the CMake package files are installed, relative to the prefix")

# Exported as zr::zr_static and zr::zr_shared; zrConfig.cmake adds zr::zr,
# which picks one of them.
set_target_properties(zr PROPERTIES EXPORT_NAME zr_static)
set_target_properties(zr_shared PROPERTIES EXPORT_NAME zr_shared)

install(TARGETS zr zr_shared EXPORT zrTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/lib/include/zr.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The static library is C++ inside: a program linked by the C compiler also
# needs the C++ runtime, i.e. the C++ compiler's implicit libraries that the C
# compiler does not add by itself. zrConfig.cmake and zr.pc both list them.
set(ZR_CXX_RUNTIME_LIBS "")
foreach(lib IN LISTS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
  if(NOT lib IN_LIST CMAKE_C_IMPLICIT_LINK_LIBRARIES AND NOT lib MATCHES "^gcc")
    list(APPEND ZR_CXX_RUNTIME_LIBS "${lib}")
  endif()
endforeach()
list(REMOVE_DUPLICATES ZR_CXX_RUNTIME_LIBS)
list(TRANSFORM ZR_CXX_RUNTIME_LIBS PREPEND "-l" OUTPUT_VARIABLE ZR_PC_LIBS_PRIVATE)
list(JOIN ZR_PC_LIBS_PRIVATE " " ZR_PC_LIBS_PRIVATE)

install(EXPORT zrTargets NAMESPACE zr:: DESTINATION ${ZR_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zrConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zrConfig.cmake
  INSTALL_DESTINATION ${ZR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zrConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zrConfig.cmake ${PROJECT_BINARY_DIR}/zrConfigVersion.cmake
  DESTINATION ${ZR_CMAKE_DIR} COMPONENT dev)

# The prefix is found from the .pc file's own place, so the installed tree
# can be moved (or used from a sysroot) as a whole.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ZR_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH ZR_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" ZR_PC_UP "${ZR_PC_UP}")
  set(ZR_PC_PREFIX "\${pcfiledir}/${ZR_PC_UP}")
  set(ZR_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZR_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(ZR_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(ZR_PC_REQUIRES_PRIVATE "")
if(ZR_HAVE_DRM)
  set(ZR_PC_REQUIRES_PRIVATE "libdrm")
endif()
if(ZR_HAVE_FREETYPE)
  string(APPEND ZR_PC_REQUIRES_PRIVATE " freetype2")
endif()
if(ZR_HAVE_ZLIB)
  string(APPEND ZR_PC_REQUIRES_PRIVATE " zlib")
endif()
if(ZR_HAVE_PNG)
  string(APPEND ZR_PC_REQUIRES_PRIVATE " libpng")
endif()
if(ZR_HAVE_JPEG)
  string(APPEND ZR_PC_REQUIRES_PRIVATE " libjpeg")
endif()
if(ZR_HAVE_INPUT)
  string(APPEND ZR_PC_REQUIRES_PRIVATE " libinput libudev xkbcommon")
endif()
string(STRIP "${ZR_PC_REQUIRES_PRIVATE}" ZR_PC_REQUIRES_PRIVATE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zr.pc.in ${PROJECT_BINARY_DIR}/zr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zr.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Programs: the demo, and the virtual framebuffer (its preload library and
# the zr-vfb runner, which finds the library in ../lib from its bin/).
if(TARGET sample)
  install(TARGETS sample RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()
if(TARGET bounce)
  install(TARGETS bounce RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()
if(TARGET paint)
  install(TARGETS paint RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
endif()
if(TARGET zr_vfb)
  install(TARGETS zr_vfb LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT programs)
  if(EXISTS ${PROJECT_SOURCE_DIR}/tools/vfb/zr-vfb)
    install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/vfb/zr-vfb
      DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  endif()
endif()
