# The Windows release: one folder with zembra.exe (stripped: Release links it
# with -s), README.txt for Windows users, the Windows manual as HTML, the licence and
# the example logs, zipped by CPack as zembra-VERSION-win64.zip. The text files
# get CR LF line ends, as Notepad and `type` expect.
install(TARGETS zembra RUNTIME DESTINATION .)
set(ZEMBRA_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
configure_file(packaging/windows/README.txt.in ${ZEMBRA_PACKAGE_DIR}/README.txt
  @ONLY NEWLINE_STYLE CRLF)
configure_file(LICENSE ${ZEMBRA_PACKAGE_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${ZEMBRA_PACKAGE_DIR}/README.txt ${ZEMBRA_PACKAGE_DIR}/LICENSE.txt DESTINATION .)
install(DIRECTORY examples/ DESTINATION examples)

# The Windows manual (switches with /, cmd.exe and Explorer, code pages) as
# HTML; the POSIX manual page is doc/zembra.1. mandoc is a build-host tool,
# like the compiler.
find_program(ZEMBRA_MANDOC mandoc)
set(ZEMBRA_MANUAL_HTML ${ZEMBRA_PACKAGE_DIR}/zembra.html)
if(ZEMBRA_MANDOC)
  add_custom_command(OUTPUT ${ZEMBRA_MANUAL_HTML}
    COMMAND ${CMAKE_COMMAND} -DMANDOC=${ZEMBRA_MANDOC}
      -DPAGE=${PROJECT_SOURCE_DIR}/doc/zembra-windows.1 -DOUTPUT=${ZEMBRA_MANUAL_HTML}
      -P ${CMAKE_CURRENT_LIST_DIR}/man-to-html.cmake
    DEPENDS doc/zembra-windows.1 ${CMAKE_CURRENT_LIST_DIR}/man-to-html.cmake
    COMMENT "Rendering doc/zembra-windows.1 as zembra.html"
    VERBATIM)
  add_custom_target(manual-html ALL DEPENDS ${ZEMBRA_MANUAL_HTML})
  install(FILES ${ZEMBRA_MANUAL_HTML} DESTINATION .)
else()
  message(STATUS "mandoc not found: the release zip cannot be made (apt-get install mandoc)")
  add_custom_target(manual-html
    COMMAND ${CMAKE_COMMAND} -E echo "mandoc is needed for the HTML manual"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()

# cpack's install step builds only what the zip holds, not the test programs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR ZIP)
# The zip's name in a variable of its own: include(CPack) leaves the source
# package's name (zembra-VERSION-Source) in CPACK_PACKAGE_FILE_NAME.
set(ZEMBRA_ZIP_NAME zembra-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_FILE_NAME ${ZEMBRA_ZIP_NAME})
set(CPACK_STRIP_FILES ON)
include(CPack)

add_custom_target(release-zip
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    -B ${CMAKE_BINARY_DIR}/release
  DEPENDS zembra manual-html
  COMMENT "Packing release/${ZEMBRA_ZIP_NAME}.zip"
  VERBATIM)
