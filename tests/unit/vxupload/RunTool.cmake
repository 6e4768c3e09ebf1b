# Runs vxupload once and checks its exit status and output:
#   cmake -DTOOL=... -DARGS=a@@b -DEXPECT_EXIT=n [-DSTDOUT_REGEX=...] [-DSTDERR_REGEX=...]
#         [-DSTDOUT_LINES=n] -P RunTool.cmake
string(REPLACE "@@" ";" ARGS "${ARGS}")
execute_process(COMMAND ${TOOL} ${ARGS}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(report "vxupload ${ARGS}\nexit ${rc}\n--- stdout\n${out}--- stderr\n${err}")
if(NOT rc STREQUAL EXPECT_EXIT)
    message(FATAL_ERROR "expected exit ${EXPECT_EXIT}\n${report}")
endif()
if(DEFINED STDOUT_REGEX AND NOT out MATCHES "${STDOUT_REGEX}")
    message(FATAL_ERROR "stdout does not match ${STDOUT_REGEX}\n${report}")
endif()
if(DEFINED STDERR_REGEX AND NOT err MATCHES "${STDERR_REGEX}")
    message(FATAL_ERROR "stderr does not match ${STDERR_REGEX}\n${report}")
endif()
if(DEFINED STDOUT_LINES)
    string(REGEX MATCHALL "\n" newlines "${out}")
    list(LENGTH newlines count)
    if(NOT count EQUAL STDOUT_LINES)
        message(FATAL_ERROR "expected ${STDOUT_LINES} lines on stdout\n${report}")
    endif()
endif()
