# The include check (CHECK, lib/check_layers.cmake) on a copy of the report
# tool's folders (TREE) in WORK: it passes on the copy as it is, and fails
# once a folder includes a folder above it, one beside it, or a library
# layer its list does not name. The check's own arguments (DIR excepted)
# are passed through.
# LAYERS, OTHERS and the USES_ lists arrive joined by commas, as the check
# takes them.
set(args -DLAYERS=${LAYERS} -DOTHERS=${OTHERS})
string(REPLACE "," ";" LAYERS "${LAYERS}")
foreach(layer ${LAYERS})
  list(APPEND args -DUSES_${layer}=${USES_${layer}})
endforeach()

function(run_check dir result)
  execute_process(COMMAND ${CMAKE_COMMAND} -DDIR=${dir} ${args} -P ${CHECK}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${result} ${rc} PARENT_SCOPE)
  set(check_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
foreach(layer ${LAYERS})
  file(COPY ${TREE}/${layer} DESTINATION ${WORK}/clean)
endforeach()
run_check(${WORK}/clean rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the check refuses the tree as it is:\n${check_output}")
endif()

# Each case: a folder, a file of it, the include planted at its top.
set(cases
  "model|launch.h|views/views.h"
  "log|record.h|model/launch.h"
  "plan|plan.h|live/live.h"
  "views|views.h|shared/log_schema.h")
foreach(case ${cases})
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 folder)
  list(GET parts 1 file)
  list(GET parts 2 include)
  set(dir ${WORK}/planted)
  file(REMOVE_RECURSE ${dir})
  file(COPY ${WORK}/clean/ DESTINATION ${dir})
  file(READ ${dir}/${folder}/${file} text)
  file(WRITE ${dir}/${folder}/${file} "#include \"${include}\"\n${text}")
  run_check(${dir} rc)
  if(rc EQUAL 0)
    message(FATAL_ERROR "${folder}/${file} including ${include} passed the check")
  endif()
  string(FIND "${check_output}" "${folder} must not use" at)
  if(at LESS 0)
    message(FATAL_ERROR "the check failed for another reason:\n${check_output}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
