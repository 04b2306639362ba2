# cmake -DLIST=<policies.txt> -DIN=<template> -DOUT=<completion> -P fill.cmake
#
# Writes a bash completion from its template with the policy names of LIST
# (written by zyg-policy-list from the library's policy table), each list in
# the table's order and space-separated:
#   @PROCESS_POLICIES@       every policy
#   @THREAD_POLICIES@        those threads may be given
#   @PLAN_PROCESS_POLICIES@  those --plan can work out
#   @PLAN_THREAD_POLICIES@   those --plan can work out for threads
cmake_minimum_required(VERSION 3.25)

set(PROCESS_POLICIES "")
set(THREAD_POLICIES "")
set(PLAN_PROCESS_POLICIES "")
set(PLAN_THREAD_POLICIES "")
file(STRINGS ${LIST} rows)
foreach(row ${rows})
  string(REPLACE " " ";" words "${row}")
  list(POP_FRONT words name)
  if("process" IN_LIST words)
    list(APPEND PROCESS_POLICIES ${name})
  endif()
  if("thread" IN_LIST words)
    list(APPEND THREAD_POLICIES ${name})
  endif()
  if("plan" IN_LIST words)
    list(APPEND PLAN_PROCESS_POLICIES ${name})
    if("thread" IN_LIST words)
      list(APPEND PLAN_THREAD_POLICIES ${name})
    endif()
  endif()
endforeach()
foreach(var PROCESS_POLICIES THREAD_POLICIES PLAN_PROCESS_POLICIES PLAN_THREAD_POLICIES)
  list(JOIN ${var} " " ${var})
endforeach()
configure_file(${IN} ${OUT} @ONLY)
