# Script mode: stages the release files and zips them into
# STAGE_DIR/RELEASE_NAME.zip, every file under the folder RELEASE_NAME.
set(folder ${STAGE_DIR}/${RELEASE_NAME})
file(REMOVE_RECURSE ${folder} ${STAGE_DIR}/${RELEASE_NAME}.zip)
file(MAKE_DIRECTORY ${folder})
file(COPY ${PROGRAM} DESTINATION ${folder})
if(NOT EXISTS ${SOURCE_DIR}/README.md)
  message(FATAL_ERROR "README.md is missing from ${SOURCE_DIR}")
endif()
file(COPY ${SOURCE_DIR}/README.md DESTINATION ${folder})
file(MAKE_DIRECTORY ${folder}/examples)
if(EXISTS ${SOURCE_DIR}/examples)
  file(COPY ${SOURCE_DIR}/examples/ DESTINATION ${folder}/examples)
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${RELEASE_NAME}.zip --format=zip ${RELEASE_NAME}
  WORKING_DIRECTORY ${STAGE_DIR}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "zip failed: ${result}")
endif()
message(STATUS "Wrote ${STAGE_DIR}/${RELEASE_NAME}.zip")
