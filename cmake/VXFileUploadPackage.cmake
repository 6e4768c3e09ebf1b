# The Debian package: `cpack -G DEB` in a build folder (after the build) makes
#   vxfileupload-qt5_<version>_<arch>.deb   from a Qt 5 build
#   vxfileupload-qt6_<version>_<arch>.deb   from a Qt 6 build (VXUPLOAD_QT_MAJOR=6)
# with everything `cmake --install` puts under /usr: both hosts, the plugin, its two libraries,
# the interface headers and the CMake package (cmake/VXFileUploadInstall.cmake). The two packages
# hold no file in common, so both install side by side.
# Depends comes from dpkg-shlibdeps on the binaries themselves: Debian's Qt libraries of the
# build's major version, libcurl4 (OpenSSL's flavour of libcurl, which brings libssl3), libc and
# libstdc++. Added by hand what no binary names: Qt 6's platform plugins live in a package of
# their own (qt6-qpa-plugins; Qt 5's are in libqt5gui5), which the window needs to show itself;
# and the CA certificates, without which no HTTPS server can be verified.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vxfileupload-qt${VXUPLOAD_QT_MAJOR})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VXFileUpload")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Qt ${VXUPLOAD_QT_MAJOR} plugin that uploads files to S3-compatible storage, with its hosts")
set(CPACK_PACKAGE_DESCRIPTION "The VXFileUpload plugin for Qt ${VXUPLOAD_QT_MAJOR} hosts \
(QPluginLoader), its request component on libcurl and its utility library, the command-line \
host vxupload${VX_QT_PROGRAM_SUFFIX}, the desktop window host vxupload-gui${VX_QT_PROGRAM_SUFFIX}, \
the interface headers and the CMake package ${VX_PACKAGE_NAME}.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VXFileUpload developers <vxfileupload@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The plugin's two libraries come in the package itself: dpkg-shlibdeps follows the plugin's
# RUNPATH of $ORIGIN to them and asks nothing outside for them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(VXUPLOAD_QT_MAJOR STREQUAL "6")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
include(CPack)
