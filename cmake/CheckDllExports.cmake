# Compares the names in a Windows DLL's export table with the lists in EXPECTED.
# Usage: cmake -DLIB=<dll> -DEXPECTED=<file>[|<file>...] -DOBJDUMP=<objdump> -P CheckDllExports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${LIB} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIB}")
endif()
# The names follow the heading of the name pointer table, one a line:
# "\t[   0] Name".
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at LESS 0)
  message(FATAL_ERROR "${LIB} has no export name table")
endif()
string(SUBSTRING "${dump}" ${at} -1 dump)
string(REPLACE "\n" ";" lines "${dump}")
set(actual "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]+\\[ *[0-9]+\\] (.+)$")
    list(APPEND actual ${CMAKE_MATCH_1})
  elseif(NOT line MATCHES "Ordinal/Name Pointer" AND actual)
    break()
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/CompareExports.cmake)
qor_compare_exports(${LIB} actual ${EXPECTED})
