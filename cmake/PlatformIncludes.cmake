# Run at install time: points the installed headers' includes of the Win32
# subset (<windows.h>, <objbase.h>, <oleauto.h>) at platform/win32 by a
# relative path, so that no include path has to name that folder.
# Input: moravane_header_root, the installed include/moravane.
file(GLOB_RECURSE headers "${moravane_header_root}/*.h")
foreach(header IN LISTS headers)
  get_filename_component(folder "${header}" DIRECTORY)
  file(RELATIVE_PATH to_win32 "${folder}" "${moravane_header_root}/platform/win32")
  if(to_win32 STREQUAL "")
    set(to_win32 ".")
  endif()
  file(READ "${header}" text)
  set(rewritten "${text}")
  foreach(name windows objbase oleauto)
    string(REPLACE "#include <${name}.h>" "#include \"${to_win32}/${name}.h\"" rewritten "${rewritten}")
  endforeach()
  if(NOT rewritten STREQUAL text)
    file(WRITE "${header}" "${rewritten}")
  endif()
endforeach()
