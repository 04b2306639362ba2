# Writes the shared objects' version script from the list of exported names,
# lib/core/interposed.def: every row's name is global, everything else local.
# Run at build time by lib/CMakeLists.txt with LIST (the list) and OUT (the
# script). A row starts a line with its macro, and the name comes first.
file(READ ${LIST} list_text)
string(REGEX MATCHALL "\nZYG_(REAL|LOOKUP|EXPORTED)\\([A-Za-z_][A-Za-z0-9_]*" rows "${list_text}")
set(names "")
foreach(row ${rows})
  string(REGEX REPLACE "^\nZYG_[A-Z]+\\(" "" name "${row}")
  string(APPEND names "    ${name};\n")
endforeach()
if(names STREQUAL "")
  message(FATAL_ERROR "${LIST}: no exported names")
endif()
file(WRITE ${OUT} "/* Written from lib/core/interposed.def by lib/version_script.cmake. */\n{\n  global:\n${names}  local: *;\n};\n")
