# Refuses an #include "<folder>/..." that the including file's folder may not
# use. Run at build time by lib/CMakeLists.txt and report-tool/CMakeLists.txt.
#
#   DIR     the tree whose folders are checked
#   LAYERS  its folders, bottom first (a CMake list, or separated by commas)
#
# Without more (the library): a folder uses its own and every folder below
# it. With USES_<folder> given for every folder (the report tool): a folder
# uses its own and those its list names, which must be below it; OTHERS
# names folders outside DIR (the library's layers) that a list may name too.
# An include whose first word names no folder of either is not checked (a
# header beside the file, a test's helper).
string(REPLACE "," ";" LAYERS "${LAYERS}")
string(REPLACE "," ";" OTHERS "${OTHERS}")
set(bad "")
set(explicit FALSE)
foreach(layer ${LAYERS})
  if(DEFINED USES_${layer})
    set(explicit TRUE)
  endif()
endforeach()
foreach(layer ${LAYERS})
  list(FIND LAYERS ${layer} own)
  if(explicit)
    string(REPLACE "," ";" uses "${USES_${layer}}")
    foreach(used ${uses})
      list(FIND LAYERS ${used} rank)
      list(FIND OTHERS ${used} other)
      if(rank GREATER_EQUAL own OR (rank LESS 0 AND other LESS 0))
        list(APPEND bad "${layer} is said to use ${used}, which is not below it")
      endif()
    endforeach()
  endif()
  file(GLOB files ${DIR}/${layer}/*.h ${DIR}/${layer}/*.cpp ${DIR}/${layer}/*.in)
  foreach(f ${files})
    file(STRINGS ${f} lines REGEX "^#include \"[a-z_]+/")
    foreach(line ${lines})
      string(REGEX REPLACE "^#include \"([a-z_]+)/.*" "\\1" used "${line}")
      list(FIND LAYERS ${used} rank)
      if(NOT explicit)
        if(rank GREATER own)
          list(APPEND bad "${f}: ${line} (${layer} must not use ${used})")
        endif()
        continue()
      endif()
      list(FIND OTHERS ${used} other)
      list(FIND uses ${used} allowed)
      if(NOT used STREQUAL layer AND allowed LESS 0 AND (rank GREATER_EQUAL 0 OR other GREATER_EQUAL 0))
        list(APPEND bad "${f}: ${line} (${layer} must not use ${used})")
      endif()
    endforeach()
  endforeach()
endforeach()
if(bad)
  list(JOIN bad "\n" text)
  message(FATAL_ERROR "include of a folder not below:\n${text}")
endif()
