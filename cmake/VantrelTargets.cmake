# Shared compile settings and the check that keeps Qt out of the processing core.

# Warnings every target of this project builds with.
function(vantrel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# A processing library: no Qt, warnings on, sources listed by the caller.
function(vantrel_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  vantrel_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY VANTREL_CORE_TARGETS ${name})
endfunction()

# Fails the configuration when a processing library links a Qt library, directly or through
# another library.
function(vantrel_check_no_qt)
  get_property(targets GLOBAL PROPERTY VANTREL_CORE_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(libs ${target} LINK_LIBRARIES)
    if(libs)
      foreach(lib IN LISTS libs)
        if(lib MATCHES "Qt")
          message(FATAL_ERROR "Processing library '${target}' links '${lib}': the core must stay Qt-free")
        endif()
      endforeach()
    endif()
  endforeach()
endfunction()
