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
#
# A Qt 6 build (VXUPLOAD_QT_MAJOR=6, cmake/VXQtVersion.cmake) installs beside it without a
# clash, named as Qt libraries that ship for both majors are:
#   bin/vxupload-qt6, bin/vxupload-gui-qt6
#   lib/vxfileupload-qt6/libVXFileUpload.so, libVXCloudCommonQt6.so.1*, libVXCloudUtilsQt6.so.1*
#   include/VXFileUploadQt6/*.h
#   lib/cmake/VXFileUploadQt6/           find_package(VXFileUploadQt6) -> the same targets
# The libraries' own names differ too, so that neither build's plugin can ever be handed the
# other's library (LD_LIBRARY_PATH, a library cache).
include(CMakePackageConfigHelpers)

set(VXFILEUPLOAD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${VX_PACKAGE_NAME})
set(VXFILEUPLOAD_PLUGIN_FILE ${VX_INSTALL_PLUGINDIR}/libVXFileUpload.so)

set_target_properties(VXFileUpload VXCloudCommon VXCloudUtils PROPERTIES
    INSTALL_RPATH "$ORIGIN")
install(TARGETS VXFileUpload VXCloudCommon VXCloudUtils
    LIBRARY DESTINATION ${VX_INSTALL_PLUGINDIR})
install(TARGETS vxupload vxupload-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The header-only targets travel under the names they have in this build, each with its headers
# (its PUBLIC_HEADER list); the package config adds VXFileUpload::Interfaces, all of them at once.
set_target_properties(VXPluginInterface PROPERTIES EXPORT_NAME PluginInterface)
set_target_properties(VXComponentInterfaces PROPERTIES EXPORT_NAME ComponentInterfaces)
set_target_properties(VXResultCodes PROPERTIES EXPORT_NAME ResultCodes)
set_target_properties(VXSettingKeys PROPERTIES EXPORT_NAME SettingKeys)
install(TARGETS VXPluginInterface VXComponentInterfaces VXResultCodes VXSettingKeys
    EXPORT VXFileUploadTargets
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${VX_PACKAGE_NAME})
install(EXPORT VXFileUploadTargets
    NAMESPACE VXFileUpload::
    DESTINATION ${VXFILEUPLOAD_CMAKE_DIR})

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/VXFileUploadConfig.cmake.in
    ${CMAKE_BINARY_DIR}/cmake/${VX_PACKAGE_NAME}Config.cmake
    INSTALL_DESTINATION ${VXFILEUPLOAD_CMAKE_DIR}
    PATH_VARS VXFILEUPLOAD_PLUGIN_FILE)
write_basic_package_version_file(
    ${CMAKE_BINARY_DIR}/cmake/${VX_PACKAGE_NAME}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_BINARY_DIR}/cmake/${VX_PACKAGE_NAME}Config.cmake
    ${CMAKE_BINARY_DIR}/cmake/${VX_PACKAGE_NAME}ConfigVersion.cmake
    DESTINATION ${VXFILEUPLOAD_CMAKE_DIR})
