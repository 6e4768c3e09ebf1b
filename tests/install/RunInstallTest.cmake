# cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DBINDIR=... -DLIBDIR=...
#       -DPLUGINDIR=... -DINCLUDEDIR=... -DPACKAGE=... -DTOOL=... -DGUI=... -DLIBRARY_SUFFIX=...
#       -DCXX_COMPILER=... -P RunInstallTest.cmake
# PACKAGE, TOOL, GUI, PLUGINDIR and LIBRARY_SUFFIX are the names the build's Qt gives them
# (VXFileUpload, vxupload, ... for Qt 5; VXFileUploadQt6, vxupload-qt6, ... for Qt 6).
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run_step what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
    endif()
    set(step_output "${out}" PARENT_SCOPE)
endfunction()

run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(file
        ${BINDIR}/${TOOL} ${BINDIR}/${GUI}
        ${PLUGINDIR}/libVXFileUpload.so ${PLUGINDIR}/libVXCloudCommon${LIBRARY_SUFFIX}.so
        ${PLUGINDIR}/libVXCloudUtils${LIBRARY_SUFFIX}.so
        ${INCLUDEDIR}/${PACKAGE}/IVXFileUpload.h
        ${INCLUDEDIR}/${PACKAGE}/IVXCloudCommon.h
        ${INCLUDEDIR}/${PACKAGE}/VXCloudCommon.h
        ${INCLUDEDIR}/${PACKAGE}/VXCloudUtils.h
        ${INCLUDEDIR}/${PACKAGE}/IVXFileUploadBySdk.h
        ${INCLUDEDIR}/${PACKAGE}/VXResultCodes.h
        ${INCLUDEDIR}/${PACKAGE}/VXSettings.h
        ${INCLUDEDIR}/${PACKAGE}/VXSettingKeys.h
        ${LIBDIR}/cmake/${PACKAGE}/${PACKAGE}Config.cmake
        ${LIBDIR}/cmake/${PACKAGE}/${PACKAGE}ConfigVersion.cmake)
    if(NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

run_step("consumer configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DVX_PACKAGE=${PACKAGE}
    -DCMAKE_BUILD_TYPE=Release)
run_step("consumer build" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run_step("consumer run" ${WORK_DIR}/consumer/consumer)
set(expected "iid=com.zel.tessel.transferdepot.IVXFileUpload/1.0\n\
plugin=${prefix}/${PLUGINDIR}/libVXFileUpload.so\n")
string(FIND "${step_output}" "${expected}" found)
if(found EQUAL -1)
    message(FATAL_ERROR "unexpected consumer output:\n${step_output}\nexpected:\n${expected}")
endif()

# The installed vxupload must find the installed plugin by itself, and the plugin its two
# libraries: a job for a missing file is then reported failed by the plugin (exit 1), while a
# plugin that cannot be loaded would end in exit 2 with the loader's message.
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=VXUPLOAD_PLUGIN --unset=LD_LIBRARY_PATH
        ${prefix}/${BINDIR}/${TOOL} --plain --bucket b ${WORK_DIR}/missing.bin
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT out MATCHES "^failed\t-1\tmissing.bin\t")
    message(FATAL_ERROR "installed vxupload: exit ${rc}\nstdout: ${out}\nstderr: ${err}")
endif()
message(STATUS "installed into ${prefix}; consumer built; installed vxupload loaded its plugin")
