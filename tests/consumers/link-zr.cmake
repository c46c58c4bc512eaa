# Shared by the consumer projects: links zr into a target the way a user
# would, found either way and linked either way:
#   -DZR_FIND=cmake       find_package(zr CONFIG), target zr::zr
#   -DZR_FIND=pkg-config  zr.pc
#   -DZR_USE_STATIC_LIBS=ON  libzr.a instead of libzr.so
set(ZR_FIND cmake CACHE STRING "How to find zr: cmake or pkg-config")
option(ZR_USE_STATIC_LIBS "Link libzr.a instead of libzr.so" OFF)

function(consumer_link_zr target)
  if(ZR_FIND STREQUAL "cmake")
    find_package(zr 0.1 CONFIG REQUIRED)
    target_link_libraries(${target} PRIVATE zr::zr)
  elseif(ZR_FIND STREQUAL "pkg-config")
    find_package(PkgConfig REQUIRED)
    if(ZR_USE_STATIC_LIBS)
      # -lzr would pick libzr.so; take the archive by name, plus the
      # libraries that zr.pc lists for static linking.
      pkg_check_modules(ZR REQUIRED zr)
      find_library(ZR_ARCHIVE NAMES libzr.a HINTS ${ZR_STATIC_LIBRARY_DIRS} NO_DEFAULT_PATH REQUIRED)
      set(private_libs ${ZR_STATIC_LIBRARIES})
      list(REMOVE_ITEM private_libs zr)
      target_include_directories(${target} PRIVATE ${ZR_STATIC_INCLUDE_DIRS})
      target_link_libraries(${target} PRIVATE ${ZR_ARCHIVE} ${private_libs})
    else()
      pkg_check_modules(ZR REQUIRED IMPORTED_TARGET zr)
      target_link_libraries(${target} PRIVATE PkgConfig::ZR)
    endif()
  else()
    message(FATAL_ERROR "ZR_FIND must be cmake or pkg-config, not '${ZR_FIND}'")
  endif()
endfunction()
