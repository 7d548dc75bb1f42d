# Hardening flags for the product on Linux, each only where the compiler or
# linker accepts it. Sets ZEMBRA_HARDEN_COMPILE and ZEMBRA_HARDEN_LINK and
# turns on position-independent executables.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

check_pie_supported(OUTPUT_VARIABLE pie_output LANGUAGES CXX)
if(CMAKE_CXX_LINK_PIE_SUPPORTED)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

check_cxx_compiler_flag(-fstack-protector-strong ZEMBRA_HAS_STACK_PROTECTOR)
if(ZEMBRA_HAS_STACK_PROTECTOR)
  list(APPEND ZEMBRA_HARDEN_COMPILE -fstack-protector-strong)
endif()

# _FORTIFY_SOURCE needs optimisation (glibc warns without it, which -Werror
# turns into a failure), so Debug builds go without. Under the sanitizers the
# checked libc wrappers would bypass ASan's own interceptors. The -U first:
# some compilers define it already, and a second definition is a warning.
if(NOT ZEMBRA_SANITIZE)
  list(APPEND ZEMBRA_HARDEN_COMPILE
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE>
    $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
endif()

check_linker_flag(CXX "-Wl,-z,relro,-z,now" ZEMBRA_HAS_BIND_NOW)
if(ZEMBRA_HAS_BIND_NOW)
  list(APPEND ZEMBRA_HARDEN_LINK "-Wl,-z,relro,-z,now")
endif()
