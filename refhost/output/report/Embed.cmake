# Writes a C++ file that carries files as byte arrays, so that the program
# holds the report page's template and its inlined libraries.
#   cmake -DOUT=file.cpp -DFILES=Name1=path1,Name2=path2 -P Embed.cmake
# Each NameN becomes `std::string_view NameN()`.
set(text "// Generated from refhost/output/report by Embed.cmake; do not edit.\n#include <string_view>\n")
string(REPLACE "," ";" FILES "${FILES}")
foreach(pair IN LISTS FILES)
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND text "namespace { const char ${name}Bytes[] = {${bytes} 0}; }\n"
                     "std::string_view ${name}() { return {${name}Bytes, ${size}}; }\n")
endforeach()
file(WRITE "${OUT}.new" "${text}")
file(COPY_FILE "${OUT}.new" "${OUT}" ONLY_IF_DIFFERENT)
