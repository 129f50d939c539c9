# Compares the dynamic symbols a library defines with the lists in EXPECTED.
# Usage: cmake -DLIB=<library> -DEXPECTED=<file>[|<file>...] -P CheckExports.cmake
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${nm_out}")
set(actual "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [TDBRV] (.+)$")
    set(sym ${CMAKE_MATCH_1})
    # Symbols of the sanitizer and C++ runtimes are not ours (ASan adds an
    # __odr_asan.<name> indicator beside every exported variable).
    if(NOT sym MATCHES "^(_init|_fini|__asan|__odr_asan|__ubsan|__sanitizer|__lsan|_edata|_end|__bss_start)")
      list(APPEND actual ${sym})
    endif()
  endif()
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/CompareExports.cmake)
qor_compare_exports(${LIB} actual ${EXPECTED})
