# Install rules and the CMake package.
#
# Layout under the prefix:
#   bin/vxupload                         the command-line host
#   bin/vxupload-gui                     the desktop window host
#   lib/libVXFileUpload.so               the plugin
#   lib/libVXCloudCommon.so.1.0.0        the request component the plugin calls (loaded as
#                                        libVXCloudCommon.so.1; libVXCloudCommon.so for linkers)
#   lib/libVXCloudUtils.so.1.0.0         the plugin loader / INI reader the plugin calls (idem)
#   include/VXFileUpload/*.h             the interface headers
#   lib/cmake/VXFileUpload/              find_package(VXFileUpload) -> VXFileUpload::Interfaces,
#                                        ::PluginInterface, ::ComponentInterfaces
# The plugin and the two libraries share one folder and find each other through an RPATH of
# $ORIGIN. The hosts link none of them: they load the plugin by path, next to themselves first
# and then from this library folder (the path relative to bin/ is compiled in).
include(CMakePackageConfigHelpers)

set(VXFILEUPLOAD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VXFileUpload)
set(VXFILEUPLOAD_PLUGIN_FILE ${CMAKE_INSTALL_LIBDIR}/libVXFileUpload.so)

set_target_properties(VXFileUpload VXCloudCommon VXCloudUtils PROPERTIES
    INSTALL_RPATH "$ORIGIN")
install(TARGETS VXFileUpload VXCloudCommon VXCloudUtils
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS vxupload vxupload-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The header-only targets travel under the names they have in this build, each with its headers
# (its PUBLIC_HEADER list); the package config adds VXFileUpload::Interfaces, all of them at once.
set_target_properties(VXPluginInterface PROPERTIES EXPORT_NAME PluginInterface)
set_target_properties(VXComponentInterfaces PROPERTIES EXPORT_NAME ComponentInterfaces)
set_target_properties(VXResultCodes PROPERTIES EXPORT_NAME ResultCodes)
set_target_properties(VXSettingKeys PROPERTIES EXPORT_NAME SettingKeys)
install(TARGETS VXPluginInterface VXComponentInterfaces VXResultCodes VXSettingKeys
    EXPORT VXFileUploadTargets
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/VXFileUpload)
install(EXPORT VXFileUploadTargets
    NAMESPACE VXFileUpload::
    DESTINATION ${VXFILEUPLOAD_CMAKE_DIR})

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/VXFileUploadConfig.cmake.in
    ${CMAKE_BINARY_DIR}/cmake/VXFileUploadConfig.cmake
    INSTALL_DESTINATION ${VXFILEUPLOAD_CMAKE_DIR}
    PATH_VARS VXFILEUPLOAD_PLUGIN_FILE)
write_basic_package_version_file(
    ${CMAKE_BINARY_DIR}/cmake/VXFileUploadConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_BINARY_DIR}/cmake/VXFileUploadConfig.cmake
    ${CMAKE_BINARY_DIR}/cmake/VXFileUploadConfigVersion.cmake
    DESTINATION ${VXFILEUPLOAD_CMAKE_DIR})
