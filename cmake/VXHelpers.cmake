# Functions shared by the folders of the build.

# Where the plugin built against the recording doubles goes (tests/CMakeLists.txt): a folder
# named for what it holds, so that its libVXFileUpload.so is never taken for the shipped one.
set(VX_TEST_PLUGIN_DIR ${CMAKE_BINARY_DIR}/test-doubles)

# vx_add_upload_plugin(<target> <output folder> <libraries>): libVXFileUpload.so in that folder,
# the plugin's code (compiled once) linked against the given component libraries: the real ones
# for the shipped plugin, the recording doubles for the one the unit tests load.
# The layers' static libraries are named before the component libraries they call: the linker
# keeps a shared library only if something before it needs it. A symbol left undefined fails
# the link rather than the loading of the plugin.
function(vx_add_upload_plugin target folder)
    add_library(${target} MODULE)
    target_link_libraries(${target} PRIVATE
        VXFileUploadObjects VXUploadManager VXSliceUploader ${ARGN})
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME VXFileUpload
        LIBRARY_OUTPUT_DIRECTORY ${folder})
endfunction()

# vx_add_qtest(<name> SOURCES <files...> [LIBS <libraries...>] [DEPENDS <targets...>]): a QTest
# program run by CTest. Each runs from a folder of its own, so that its application directory holds
# no fileUpload.ini or plugin it did not put there itself, and finds the test builds of the plugin
# and of the SDK siblings through the environment.
function(vx_add_qtest name)
    cmake_parse_arguments(QTEST "" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
    add_executable(${name} ${QTEST_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    target_link_libraries(${name} PRIVATE ${QTEST_LIBS} Qt::Core Qt::Test)
    if(QTEST_DEPENDS)
        add_dependencies(${name} ${QTEST_DEPENDS})
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set(dirs "VXUPLOAD_TEST_PLUGIN_DIR=${VX_TEST_PLUGIN_DIR}"
        "VXUPLOAD_TEST_SDK_DIR=${CMAKE_BINARY_DIR}/tests/sdk"
        "VXUPLOAD_TEST_SDK_PLAIN_DIR=${CMAKE_BINARY_DIR}/tests/sdk-plain"
        "VXUPLOAD_SHIPPED_PLUGIN_DIR=${CMAKE_BINARY_DIR}/bin")
    set_tests_properties(${name} PROPERTIES TIMEOUT 120 ENVIRONMENT "${dirs}")
endfunction()

# vx_add_unit_test(<name> <sources...>): a QTest program linked against the recording doubles
# (which bring the component interfaces) and the plugin interface.
function(vx_add_unit_test name)
    vx_add_qtest(${name} SOURCES ${ARGN} LIBS VXCloudDoubles VXPluginInterface)
endfunction()
