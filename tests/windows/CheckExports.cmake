# Checks that a shared library exports every entry of a list.
#   cmake -DLIBRARY=<dll or so> -DFORMAT=pe|elf -DDUMPER=<objdump or nm>
#         -DDEMANGLER=<c++filt> -DEXPECTED=<list file> -P CheckExports.cmake
# PE: the names of "objdump -p"'s export table. ELF: the defined dynamic
# symbols of "nm -D --defined-only".
cmake_minimum_required(VERSION 3.20)

foreach(var LIBRARY FORMAT DUMPER DEMANGLER EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "CheckExports: ${var} not given")
  endif()
endforeach()

if(FORMAT STREQUAL "pe")
  execute_process(COMMAND ${DUMPER} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
  # Drop the header and the "[   n] " ordinals: an unmatched bracket would
  # keep CMake from splitting the list.
  string(REPLACE "[Ordinal/Name Pointer] Table\n" "" table "${table}")
  string(REGEX REPLACE "[\t ]*\\[ *[0-9]+\\] " "" table "${table}")
  string(STRIP "${table}" table)
  string(REPLACE "\n" ";" names "${table}")
elseif(FORMAT STREQUAL "elf")
  execute_process(COMMAND ${DUMPER} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  string(REGEX MATCHALL "[^ \n]+\n" names "${dump}")
  list(TRANSFORM names STRIP)
else()
  message(FATAL_ERROR "CheckExports: FORMAT must be pe or elf")
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "CheckExports: ${DUMPER} failed on ${LIBRARY}")
endif()
list(LENGTH names exportCount)

# Demangle all names in one run; one name per line in, one per line out.
string(REPLACE ";" "\n" mangled "${names}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/exported-names.txt "${mangled}\n")
# Export tables hold the names without the underscore that 32-bit Windows
# puts before C symbols: the demangler must not strip one.
execute_process(COMMAND ${DEMANGLER} --no-strip-underscore INPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/exported-names.txt
                OUTPUT_VARIABLE demangled RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "CheckExports: ${DEMANGLER} failed")
endif()
# The library's wide string spelled out in full is unreadable in a list.
string(REPLACE
  "std::__cxx11::basic_string<char16_t, std::char_traits<char16_t>, kelvex::utility::SmallBlockAllocator::STLAllocator<char16_t> >"
  "WideString" demangled "${demangled}")
# The fixed-width types differ in spelling: LONG is `long` on Windows and
# `int` on Linux, ULONGLONG `unsigned long long` and (LP64) `unsigned long`.
# The list writes LONG and ULONGLONG.
string(REPLACE "unsigned long long" "ULONGLONG" demangled "${demangled}")
if(FORMAT STREQUAL "elf")
  string(REPLACE "unsigned long" "ULONGLONG" demangled "${demangled}")
endif()
# Twice: a match consumes the separator that the next one starts with.
foreach(pass 1 2)
  string(REGEX REPLACE "([(,<] ?)(long|int)([,)&*>])" "\\1LONG\\3" demangled "${demangled}")
endforeach()
# Semicolons would split CMake list entries (none occur in C++ signatures).
string(REPLACE "\n" ";" exported "${demangled}")

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
set(missing "")
foreach(entry IN LISTS expected)
  string(STRIP "${entry}" entry)
  if(entry STREQUAL "")
    continue()
  endif()
  if(NOT entry IN_LIST exported)
    list(APPEND missing "${entry}")
  endif()
endforeach()
list(LENGTH expected expectedCount)
message(STATUS "${LIBRARY}: ${exportCount} exported symbols, ${expectedCount} required")
if(missing)
  string(REPLACE ";" "\n  " missingText "${missing}")
  message(FATAL_ERROR "Not exported:\n  ${missingText}")
endif()
