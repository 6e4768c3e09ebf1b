# VXUPLOAD_QT_MAJOR: the Qt the whole tree builds against.
#   5   Qt 5.15 (the default)
#   6   Qt 6.4 or later (Debian 12: qt6-base-dev)
# The targets link Qt's versionless names (Qt::Core, ...), so each folder reads the same for both.
# A Qt 6 build names what it installs apart from a Qt 5 one, so that both can be installed under
# one prefix (cmake/VXFileUploadInstall.cmake):
#   VX_QT_LIBRARY_SUFFIX   appended to the shared libraries' names (libVXCloudCommonQt6.so.1)
#   VX_QT_PROGRAM_SUFFIX   appended to the hosts' names (vxupload-qt6)
#   VX_PACKAGE_NAME        the CMake package and the header folder (VXFileUploadQt6)
#   VX_INSTALL_PLUGINDIR   the plugin's folder below the prefix, where its two libraries and
#                          sibling plugins sit too: the library folder for Qt 5, a folder of its
#                          own below it for Qt 6 (VX_PLUGIN_SUBFOLDER, "/vxfileupload-qt6"), as
#                          Qt keeps its own plugins apart per major version
set(VXUPLOAD_QT_MAJOR 5 CACHE STRING "Qt major version to build against: 5 or 6")
set_property(CACHE VXUPLOAD_QT_MAJOR PROPERTY STRINGS 5 6)

if(VXUPLOAD_QT_MAJOR STREQUAL "5")
    set(VX_QT_MINIMUM 5.15)
    set(VX_QT_LIBRARY_SUFFIX "")
    set(VX_QT_PROGRAM_SUFFIX "")
    set(VX_PACKAGE_NAME VXFileUpload)
    set(VX_PLUGIN_SUBFOLDER "")
elseif(VXUPLOAD_QT_MAJOR STREQUAL "6")
    set(VX_QT_MINIMUM 6.4)
    set(VX_QT_LIBRARY_SUFFIX Qt6)
    set(VX_QT_PROGRAM_SUFFIX -qt6)
    set(VX_PACKAGE_NAME VXFileUploadQt6)
    set(VX_PLUGIN_SUBFOLDER /vxfileupload-qt6)
else()
    message(FATAL_ERROR "VXUPLOAD_QT_MAJOR is '${VXUPLOAD_QT_MAJOR}': 5 or 6")
endif()

# QUIET and a message of our own: a machine without the Qt asked for gets one line that says
# what to install, not Qt's page of search paths.
find_package(Qt${VXUPLOAD_QT_MAJOR} ${VX_QT_MINIMUM} QUIET COMPONENTS Core Widgets Network)
if(NOT Qt${VXUPLOAD_QT_MAJOR}_FOUND)
    if(VXUPLOAD_QT_MAJOR STREQUAL "6")
        set(vx_qt_packages qt6-base-dev)
    else()
        set(vx_qt_packages qtbase5-dev)
    endif()
    message(FATAL_ERROR "Qt ${VX_QT_MINIMUM} or later (Core, Widgets, Network) not found for "
        "VXUPLOAD_QT_MAJOR=${VXUPLOAD_QT_MAJOR}; on Debian 12: apt-get install ${vx_qt_packages}")
endif()
message(STATUS "Building against Qt ${Qt${VXUPLOAD_QT_MAJOR}Core_VERSION}")
set(VX_INSTALL_PLUGINDIR ${CMAKE_INSTALL_LIBDIR}${VX_PLUGIN_SUBFOLDER})
