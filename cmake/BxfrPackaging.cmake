# Debian package of the programs and their shell integration: `cpack -G DEB` in a build folder
# once the programs are built (cpack installs what is there, it does not build).
set(CPACK_PACKAGE_NAME bxfr)
set(CPACK_PACKAGE_VERSION ${BXFR_VERSION})
set(CPACK_PACKAGE_VENDOR "Brindle")
set(CPACK_PACKAGE_CONTACT "Brindle FTP Wizard developers <bxfr-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Brindle FTP Wizard - send and get files over FTP, step by step")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "A wizard that walks through one FTP transfer (server, send or get, local and remote files, "
  "options), runs it behind a progress dialog and saves it as a .bxt transfer file that can be "
  "opened from the file manager or run at once with \"Transfer Now\". Includes the bxfr "
  "command-line program.")
set(CPACK_GENERATOR DEB)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# bxfr_3.02_amd64.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies come from dpkg-shlibdeps (dpkg-dev); without it, the known ones.
find_program(BXFR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(BXFR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, libcurl4, libssl3")
endif()
# The caches of the shell integration are rebuilt by these packages' triggers.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, desktop-file-utils, hicolor-icon-theme")

include(CPack)
