# cmake -P: configures PROJECT_DIR afresh in BINARY_DIR with KA_FIRMWARE_DIR=FIRMWARE_DIR and
# checks that it succeeds or fails as SUCCEEDS says, with output matching EXPECTED.
file(REMOVE_RECURSE ${BINARY_DIR})
execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${BINARY_DIR} -G ${GENERATOR}
            -DKA_SOURCE_DIR=${KA_SOURCE_DIR} -DKA_FIRMWARE_DIR=${FIRMWARE_DIR}
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(SUCCEEDS AND NOT result EQUAL 0)
    message(FATAL_ERROR "the configure failed:\n${output}")
endif()
if(NOT SUCCEEDS AND result EQUAL 0)
    message(FATAL_ERROR "the configure went through:\n${output}")
endif()
# CMake wraps long messages; the words are what count.
string(REGEX REPLACE "[ \n]+" " " words "${output}")
if(NOT words MATCHES "${EXPECTED}")
    message(FATAL_ERROR "the configure did not say \"${EXPECTED}\":\n${output}")
endif()
# The message is one line, and the only error of the configure.
string(REGEX MATCHALL "CMake Error" errors "${output}")
list(LENGTH errors error_count)
if(NOT SUCCEEDS AND NOT error_count EQUAL 1)
    message(FATAL_ERROR "expected one error, got ${error_count}:\n${output}")
endif()
message(STATUS "${output}")
