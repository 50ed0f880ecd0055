# Run after z39ui_tests is built: asks it for its test functions and writes one CTest
# entry per function into OUT (included by CTest through TEST_INCLUDE_FILES).
#   -DPROGRAM=... -DOUT=... -DENVIRONMENT=...  (ENVIRONMENT: "A=1;B=2")
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${ENVIRONMENT} ${PROGRAM} -functions
    OUTPUT_VARIABLE listed
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} -functions failed (${status})")
endif()
string(REPLACE "\n" ";" lines "${listed}")
set(text "")
foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z0-9_]+)\\(\\)$")
        set(name ${CMAKE_MATCH_1})
        string(APPEND text "add_test(ui.${name} [==[${PROGRAM}]==] ${name})\n")
        string(APPEND text "set_tests_properties(ui.${name} PROPERTIES ENVIRONMENT [==[${ENVIRONMENT}]==] TIMEOUT 300)\n")
    endif()
endforeach()
if(text STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} listed no test functions")
endif()
file(WRITE ${OUT} "${text}")
