# Header sets: who may include what.
#
# Every include in the tree is written from the repository root
# ("platform/ByteString.h"), so a plain include directory would expose every
# header to every target. Instead each layer publishes a header set: an
# INTERFACE target whose include directory is a folder of its own in the
# build tree holding links to just that layer's headers, laid out as in the
# source tree. A target sees a header only through a set it links, so the
# build itself keeps the layers apart; a header outside them is "not found".
#
#   orvik_header_set(<target>
#     [FOLDERS <folder>...]   # whole folders, e.g. platform
#     [HEADERS <file>...]     # single headers, e.g. host/SharedMM.h
#     [USES <set>...])        # sets the headers themselves include
#
# Paths are relative to the repository root. The links are made when CMake
# configures; a header added to a listed folder appears at once, a header
# added to a HEADERS list needs the list edited.
function(orvik_header_set target)
  cmake_parse_arguments(S "" "" "FOLDERS;HEADERS;USES" ${ARGN})
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  foreach(path IN LISTS S_FOLDERS S_HEADERS)
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${path})
      message(FATAL_ERROR "Header set ${target}: ${path} does not exist")
    endif()
    get_filename_component(parent ${root}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${root}/${path} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE)
  target_include_directories(${target} INTERFACE ${root})
  if(S_USES)
    target_link_libraries(${target} INTERFACE ${S_USES})
  endif()
endfunction()
