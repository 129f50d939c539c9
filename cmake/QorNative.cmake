# Build helpers shared by every component: warnings, sanitizers, JNI libraries,
# GoogleTest binaries, JUnit tests that run in a real JVM, and export checks.

find_package(Java 17 REQUIRED COMPONENTS Runtime Development)
# The JNI headers of the JDK whose javac builds the Java classes.
get_filename_component(QOR_JDK_HOME ${Java_JAVAC_EXECUTABLE} REALPATH)
get_filename_component(QOR_JDK_HOME ${QOR_JDK_HOME} DIRECTORY)
get_filename_component(QOR_JDK_HOME ${QOR_JDK_HOME} DIRECTORY)
if(WIN32)
  # The JDK's jni.h with a Windows jni_md.h of our own (the JDK here is the
  # host's; only the machine-dependent header differs).
  set(JNI_INCLUDE_DIRS ${PROJECT_SOURCE_DIR}/cmake/jni-win32 ${QOR_JDK_HOME}/include)
else()
  set(JNI_INCLUDE_DIRS ${QOR_JDK_HOME}/include ${QOR_JDK_HOME}/include/linux)
endif()
if(NOT EXISTS ${QOR_JDK_HOME}/include/jni.h)
  message(FATAL_ERROR "no jni.h under ${QOR_JDK_HOME}")
endif()
include(UseJava)
# Sources are UTF-8 whatever the caller's locale says (javac would otherwise
# read them in the locale's code set, US-ASCII when none is set).
set(CMAKE_JAVA_COMPILE_FLAGS -encoding UTF-8)

if(BUILD_TESTING AND WIN32)
  # GoogleTest built from the sources Debian ships, with the cross compiler.
  set(QOR_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest sources for the Windows builds")
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${QOR_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Every Windows test runs under wine; the first start of wine creates its
  # prefix, which must not race between tests that run in parallel.
  add_test(NAME wine.prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot -i)
  set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
elseif(BUILD_TESTING AND NOT QOR_FUZZ)
  find_package(GTest REQUIRED)
  find_file(QOR_JUNIT_JAR junit-platform-console-standalone.jar PATHS /usr/share/java REQUIRED)
endif()

# add_test_directory(<dir>)
# A component's tests and their helper programs: built only with BUILD_TESTING.
macro(add_test_directory dir)
  if(BUILD_TESTING)
    add_subdirectory(${dir})
  endif()
endmacro()

# install_shipped(<targets...>)
# What ships: libraries into lib/ (Linux) and DLLs and programs into bin/;
# the libraries also go into the jar (add_product_jar).
function(install_shipped)
  install(TARGETS ${ARGN} LIBRARY DESTINATION lib RUNTIME DESTINATION bin)
  foreach(target IN LISTS ARGN)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL SHARED_LIBRARY)
      set_property(GLOBAL APPEND PROPERTY QOR_JAR_NATIVES ${target})
    endif()
  endforeach()
endfunction()

# add_product_jar(): qor_java.jar, the compiled classes (qor_java_classes)
# with every shipped library of this build under natives/<os>-<arch>/, where
# the Java loader looks for them.  Called once every library is defined: the
# jar depends on each, so a rebuilt library packs the jar again.
function(add_product_jar)
  # The names NativeLoader makes of the JVM's os.name and os.arch.
  string(TOLOWER ${CMAKE_SYSTEM_NAME} os)
  set(arch ${CMAKE_SYSTEM_PROCESSOR})
  if(arch MATCHES "^(x86|i[3-6]86|AMD64|amd64|x86_64)$")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(arch x86)
    else()
      set(arch x86_64)
    endif()
  endif()
  get_property(natives GLOBAL PROPERTY QOR_JAR_NATIVES)
  get_target_property(classes qor_java_classes JAR_FILE)
  set(stage ${CMAKE_BINARY_DIR}/java/natives-stage)
  set(folder ${stage}/natives/${os}-${arch})
  set(manifest ${CMAKE_BINARY_DIR}/java/qor_java.manifest)
  file(CONFIGURE OUTPUT ${manifest} @ONLY CONTENT [[
Implementation-Title: qor natives
Implementation-Version: @PROJECT_VERSION@
Automatic-Module-Name: com.qor.vt.natives
]])
  set(files "")
  foreach(target IN LISTS natives)
    list(APPEND files $<TARGET_FILE:${target}>)
  endforeach()
  # Written under another name and renamed: a build stopped halfway leaves no
  # jar that lacks its natives.
  add_custom_command(OUTPUT ${QOR_JAR}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${CMAKE_COMMAND} -E copy ${files} ${folder}
    COMMAND ${CMAKE_COMMAND} -E copy ${classes} ${QOR_JAR}.part
    COMMAND ${Java_JAR_EXECUTABLE} --update --file ${QOR_JAR}.part --manifest ${manifest} -C ${stage} natives
    COMMAND ${CMAKE_COMMAND} -E rename ${QOR_JAR}.part ${QOR_JAR}
    DEPENDS qor_java_classes ${classes} ${natives} ${manifest}
    COMMENT "Packing qor_java.jar with the natives of ${os}-${arch}"
    VERBATIM)
  add_custom_target(qor_java ALL DEPENDS ${QOR_JAR})
  install(FILES ${QOR_JAR} DESTINATION share/java)
endfunction()

set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(QOR_LIB_DIR ${CMAKE_BINARY_DIR}/lib)
set(QOR_JAR ${CMAKE_BINARY_DIR}/java/qor_java.jar)

# Bounded buffers that cut long texts are the design here, not an accident.
add_compile_options(-Wall -Wextra $<$<CXX_COMPILER_ID:GNU>:-Wno-format-truncation>)
# Warnings stop the build only where we choose so (the presets and CI): a
# packager's build with another compiler must not fail on a new warning.
if(QOR_WERROR)
  add_compile_options(-Werror)
endif()
if(QOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE QOR_LIBASAN OUTPUT_STRIP_TRAILING_WHITESPACE)
  # A JVM that loads an instrumented library needs the ASan runtime first in
  # the link order, and it uses SIGSEGV itself; leak reports from inside a JVM
  # are noise, so leaks are checked in the GoogleTest binaries only.
  set(QOR_JAVA_TEST_ENV
      "LD_PRELOAD=${QOR_LIBASAN}"
      "ASAN_OPTIONS=handle_segv=0:detect_leaks=0:allow_user_segv_handler=1"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  set(QOR_GTEST_ENV
      "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
else()
  set(QOR_JAVA_TEST_ENV "")
  set(QOR_GTEST_ENV "")
endif()

# add_jni_library(<name> SOURCES <files...> [LIBS <libs...>])
# A shared library loaded by Java.  Only what is marked JNIEXPORT is visible;
# no C++ exception or RTTI is used; every symbol must resolve at link time.
function(add_jni_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  target_include_directories(${name} PRIVATE ${JNI_INCLUDE_DIRS} ${PROJECT_SOURCE_DIR})
  if(WIN32)
    # A DLL resolves every symbol at link time anyway; Java loads it by its
    # plain name, without the "lib" prefix.
    set_target_properties(${name} PROPERTIES PREFIX "")
  else()
    target_link_options(${name} PRIVATE -Wl,-z,defs)
  endif()
  target_link_libraries(${name} PRIVATE qor_java_headers ${ARG_LIBS})
endfunction()

# add_export_check(<target> <files listing the expected exports, one a line...>)
# The library exports exactly the names of all the files together.
function(add_export_check target)
  if(NOT BUILD_TESTING)
    return()
  endif()
  # One argument for the script; "|" separates the files.
  string(JOIN "|" expected ${ARGN})
  if(WIN32)
    add_test(NAME ${target}.exports
             COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:${target}> -DEXPECTED=${expected}
                     -DOBJDUMP=${CMAKE_OBJDUMP} -P ${PROJECT_SOURCE_DIR}/cmake/CheckDllExports.cmake)
  else()
    add_test(NAME ${target}.exports
             COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:${target}> -DEXPECTED=${expected}
                     -P ${PROJECT_SOURCE_DIR}/cmake/CheckExports.cmake)
  endif()
endfunction()

# add_gtest(<name> SOURCES <files...> [LIBS <libs...>] [ARGS <arguments...>])
function(add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ARGS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${JNI_INCLUDE_DIRS} ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${ARG_LIBS})
  add_test(NAME ${name} COMMAND ${name} ${ARG_ARGS})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${QOR_GTEST_ENV}")
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()

# add_java_test(<name> SOURCES <files...> CLASSES <fully qualified test classes...>
#               [NATIVE <library targets...>] [LIBDIR <directory>]
#               [LAUNCHER <program target>])
# Compiles the JUnit 5 test classes against the product classes and runs each
# class as its own CTest test in a real JVM.  The tests learn the JVM, the
# class path, the library directory (LIBDIR, by default the one the libraries
# are built in) and the helper programs' directory.
# Every test jar also holds com.qor.vt.testing.Command, which runs a command
# (a child JVM, a tool) to its end from system properties, so they can
# start child JVMs of their own.  With LAUNCHER, each test JVM runs under
# that program (which takes the command to run as its arguments).
function(add_java_test name)
  cmake_parse_arguments(ARG "" "LIBDIR;LAUNCHER" "SOURCES;CLASSES;NATIVE" ${ARGN})
  if(NOT ARG_LIBDIR)
    set(ARG_LIBDIR ${QOR_LIB_DIR})
  endif()
  add_jar(${name} SOURCES ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/common/test/java/com/qor/vt/testing/Command.java
          INCLUDE_JARS qor_java_classes ${QOR_JUNIT_JAR}
          OUTPUT_DIR ${CMAKE_BINARY_DIR}/java)
  get_target_property(test_jar ${name} JAR_FILE)
  set(cp "${test_jar}:${QOR_JAR}")
  add_dependencies(${name} qor_java)
  if(ARG_NATIVE)
    add_dependencies(${name} ${ARG_NATIVE})
  endif()
  set(launcher "")
  if(ARG_LAUNCHER)
    set(launcher $<TARGET_FILE:${ARG_LAUNCHER}>)
    add_dependencies(${name} ${ARG_LAUNCHER})
  endif()
  foreach(cls IN LISTS ARG_CLASSES)
    string(REGEX REPLACE ".*\\." "" short ${cls})
    add_test(NAME ${name}.${short}
             COMMAND ${launcher} ${Java_JAVA_EXECUTABLE}
                     -Djava.library.path=${ARG_LIBDIR}
                     -Dqor.test.java=${Java_JAVA_EXECUTABLE}
                     -Dqor.test.classpath=${cp}
                     -Dqor.test.libdir=${ARG_LIBDIR}
                     -Dqor.test.bindir=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
                     -jar ${QOR_JUNIT_JAR} --class-path ${cp} --select-class ${cls}
                     --fail-if-no-tests --disable-banner --details=tree --disable-ansi-colors)
    set_tests_properties(${name}.${short} PROPERTIES ENVIRONMENT "${QOR_JAVA_TEST_ENV}")
  endforeach()
endfunction()

# add_fuzz_harness(<name> SOURCES <files...> [LIBS <libs...>] CORPUS <dir> [DICT <file>])
# A libFuzzer harness (fuzz preset only; the preset compiles all code with
# -fsanitize=fuzzer-no-link and the sanitizers, the harness adds the fuzzer's
# main).  CTest runs it once over every file of its seed corpus, so an input
# committed there that crashes fails the tests; ./run fuzz reads the list of
# harnesses, corpora and dictionaries from fuzz-harnesses.txt in the build.
function(add_fuzz_harness name)
  cmake_parse_arguments(ARG "" "CORPUS;DICT" "SOURCES;LIBS" ${ARGN})
  if(NOT QOR_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_include_directories(${name} PRIVATE ${JNI_INCLUDE_DIRS} ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  get_filename_component(corpus ${ARG_CORPUS} ABSOLUTE)
  set(dict "")
  if(ARG_DICT)
    get_filename_component(dict ${ARG_DICT} ABSOLUTE)
  endif()
  # -runs=0: the corpus is executed once, nothing is mutated or written.
  add_test(NAME fuzz.${name} COMMAND ${name} -runs=0 ${corpus})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz)
  set_property(GLOBAL APPEND PROPERTY QOR_FUZZ_HARNESSES "${name}\t$<TARGET_FILE:${name}>\t${corpus}\t${dict}")
endfunction()

# write_fuzz_manifest(): one line per harness: name, program, corpus, dictionary.
function(write_fuzz_manifest)
  get_property(lines GLOBAL PROPERTY QOR_FUZZ_HARNESSES)
  list(JOIN lines "\n" text)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz-harnesses.txt CONTENT "${text}\n")
endfunction()
