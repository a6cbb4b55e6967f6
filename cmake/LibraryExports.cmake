# Exports of 32-bit Windows libraries whose functions use the standard-call
# convention.
#
# The compiler decorates such a function as _Name@n. The host looks the
# functions up by their plain names, so the DLL is linked with --kill-at,
# which strips the @n from the export names. The import library ld writes
# beside it then only knows the plain names, while a program compiled against
# the header refers to _Name@n; so it is replaced after the link by one that
# dlltool builds from a .def listing the decorated names: -k maps each
# _Name@n (and __imp__Name@n) onto the plain export name.
#
# Elsewhere (64-bit Windows, Linux) there is no decoration and nothing to do.
function(orvik_stdcall_exports target def_file)
  if(NOT (WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4))
    return()
  endif()
  get_target_property(kind ${target} TYPE)
  if(NOT kind STREQUAL "SHARED_LIBRARY")
    return()
  endif()
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "dlltool is needed to build the import library of ${target}")
  endif()
  target_sources(${target} PRIVATE ${def_file})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -k -d ${def_file} -D $<TARGET_FILE_NAME:${target}>
            -l $<TARGET_LINKER_FILE:${target}>
    COMMENT "Import library for the undecorated exports of ${target}"
    VERBATIM)
endfunction()

# Shared libraries that stand in for the host's closed libraries export only
# their declared entry points: hidden visibility for our code, and nothing
# from the static libraries linked into them.
function(orvik_host_library_exports target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "SHARED_LIBRARY" AND NOT WIN32)
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
  endif()
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")  # Velmar.dll, not libVelmar.dll: the host loads it by that name
  endif()
endfunction()
