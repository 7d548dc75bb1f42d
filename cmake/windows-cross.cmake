# Settings of the Windows build made with the mingw-w64 cross compilers
# (cmake/mingw-w64-x86_64.cmake): a self-contained zembra.exe, tests run
# under Wine, GoogleTest built from source. The release zip is made in
# cmake/windows-package.cmake.

# No DLLs beyond the system's, and the 1 MiB stack that a Windows console
# program gets; the test programs share it so the matcher's deep-match test
# proves the bound on the real stack.
add_link_options(-static -Wl,--stack,1048576)

# The mingw-w64 libstdc++ at -O2 reports "literal" + std::string as an
# overlapping memcpy (GCC bug 105329, a false positive the native compiler
# of the same release does not show); -Werror would turn it into a failure.
add_compile_options(-Wno-restrict)

set(ZEMBRA_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader that runs the tests")
set(ZEMBRA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE
  @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# Debian ships GoogleTest as sources only for foreign targets; build them
# here, under the names find_package(GTest) would give.
set(ZEMBRA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(ZEMBRA_BUILD_TESTS AND NOT EXISTS ${ZEMBRA_GTEST_SOURCE}/CMakeLists.txt
   AND ZEMBRA_BUILD_TESTS STREQUAL "AUTO")
  message(WARNING "GoogleTest sources not found in ${ZEMBRA_GTEST_SOURCE}: the tests are not built")
  set(ZEMBRA_BUILD_TESTS OFF)
endif()
if(ZEMBRA_BUILD_TESTS)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ZEMBRA_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
