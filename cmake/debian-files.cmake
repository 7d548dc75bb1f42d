# Run by CPack on its staging folder before packing the Debian package: adds
# the files Debian wants in /usr/share/doc/zembra (a machine-readable
# copyright file made from LICENSE, a gzipped changelog), the README, the
# upstream changelog and the example logs, and lintian's
# overrides, gzips every manual page, as Debian packages carry them, and
# drops the compiler's identification (.comment) from the program, as
# Debian's own strip step does.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(source "${CPACK_ZEMBRA_SOURCE_DIR}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")

# The licence text goes in as a DEP-5 "License:" paragraph: every line
# indented by one space, empty lines written as " .". Debian calls MIT "Expat".
file(STRINGS "${source}/LICENSE" licence_lines)
set(licence_text "")
set(leading TRUE)
foreach(line IN LISTS licence_lines)
  if(line MATCHES "^(MIT License|Copyright .*)$")
    continue()
  elseif(line STREQUAL "")
    if(NOT leading)
      string(APPEND licence_text " .\n")
    endif()
  else()
    string(APPEND licence_text " ${line}\n")
    set(leading FALSE)
  endif()
endforeach()
file(STRINGS "${source}/LICENSE" copyright_line REGEX "^Copyright ")
string(REGEX REPLACE "^Copyright (\\(c\\) )?" "" copyright_holder "${copyright_line}")
file(WRITE "${doc}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${CPACK_PACKAGE_NAME}\n"
  "\n"
  "Files: *\n"
  "Copyright: ${copyright_holder}\n"
  "License: Expat\n"
  "${licence_text}")

configure_file("${source}/packaging/debian/changelog.in" "${doc}/changelog.Debian" @ONLY)
configure_file("${source}/packaging/debian/lintian-overrides"
  "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}" COPYONLY)

# The README and the examples it shows; CHANGELOG.md under the name Debian
# gives an upstream changelog. Files over 4 KB go in gzipped, as Debian's
# policy asks of documentation.
configure_file("${source}/README.md" "${doc}/README.md" COPYONLY)
configure_file("${source}/CHANGELOG.md" "${doc}/changelog" COPYONLY)
file(GLOB examples "${source}/examples/*.log")
file(COPY ${examples} DESTINATION "${doc}/examples")
file(GLOB_RECURSE shipped_examples "${doc}/examples/*.log")

file(GLOB_RECURSE pages "${root}/share/man/man*/*.[1-9]")
foreach(file IN LISTS pages shipped_examples ITEMS "${doc}/changelog.Debian" "${doc}/changelog"
        "${doc}/README.md")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${file} failed: ${result}")
  endif()
endforeach()

# CPack has stripped the symbols already; the compiler's version strings and
# the .note section are of no use to a user either.
if(CPACK_ZEMBRA_STRIP)
  execute_process(COMMAND "${CPACK_ZEMBRA_STRIP}" --remove-section=.comment --remove-section=.note
    "${root}/bin/${CPACK_PACKAGE_NAME}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "strip ${root}/bin/${CPACK_PACKAGE_NAME} failed: ${result}")
  endif()
endif()
