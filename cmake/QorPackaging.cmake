# Packages of what ships: a .tar.gz per platform, and a .deb for Linux.
# `cmake --install` lays the tree out (Linux: lib/ and share/java/; Windows:
# bin/ and share/java/); `cpack` in the build directory packs it.
set(CPACK_PACKAGE_NAME qor-natives)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Native libraries of the application server's process management and performance monitoring")
set(CPACK_PACKAGE_CONTACT "qor natives team <natives@qor.invalid>")
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR TGZ)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION java)
  # The libraries' own dependencies (the C library, libstdc++) as dpkg finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)

if(BUILD_TESTING)
  if(NOT WIN32)
    set(platform linux)
  elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(platform win32)
  else()
    set(platform win64)
  endif()
  # The JVM alone gets the sanitizer runtime; cpack and its tools run plain.
  add_test(NAME install.tree
           COMMAND bash ${PROJECT_SOURCE_DIR}/cmake/install-test.sh ${CMAKE_BINARY_DIR} ${platform} ${Java_JAR_EXECUTABLE}
                   env ${QOR_JAVA_TEST_ENV} ${Java_JAVA_EXECUTABLE})
  set_tests_properties(install.tree PROPERTIES TIMEOUT 120)
endif()
