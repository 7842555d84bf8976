# Writes the version script of libmoravane.so: moravane's and the support
# library's C++ symbols, the C functions defined by the platform archive,
# nothing else. Run with -DNM=<nm> -DARCHIVE=<archive> -DOUTPUT=<map>.
execute_process(COMMAND ${NM} --defined-only -g -P ${ARCHIVE}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status ERROR_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cannot list the symbols of ${ARCHIVE}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(functions "")
foreach(line IN LISTS lines)
  # "name type value size"; C++ names are mangled (_Z...) and covered below.
  if(line MATCHES "^([A-Za-z][A-Za-z0-9_]*) [T] ")
    list(APPEND functions "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES functions)
list(SORT functions)
# Mangled patterns: ld matches quoted C++ names literally, and "typeinfo
# for ..." cannot be written unquoted. N<len>name is the namespace prefix of
# functions (K: const members), data and thunks (Th/Tv), vtables (TV),
# typeinfo (TI) and its name (TS).
set(text "{\n  global:\n")
foreach(space 8moravane 6kelvex)
  foreach(prefix _ZN _ZNK _ZTVN _ZTIN _ZTSN _ZGVN _ZTh*N _ZTv*N _ZTc*N)
    string(APPEND text "    ${prefix}${space}*;\n")
  endforeach()
endforeach()
foreach(function IN LISTS functions)
  string(APPEND text "    ${function};\n")
endforeach()
string(APPEND text "  local: *;\n};\n")
file(WRITE ${OUTPUT}.tmp "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.tmp ${OUTPUT})
