# The Debian package (`make package`, or `cpack -G DEB` in a build
# directory): what dist/ installs, under /usr, with the library
# dependencies dpkg-shlibdeps finds in the programs.
set(CORVANE_PACKAGE_MAINTAINER "The Corvane developers <corvane@example.org>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "The Corvane developers")
set(CPACK_PACKAGE_CONTACT "${CORVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover LUNs from the member disks of an HP EVA disk group")
set(CPACK_PACKAGE_DESCRIPTION
"Corvane reads the array's own metadata from the member disks of one HP EVA
disk group (or dd images of them), rebuilds the list of LUNs the array
presented and copies a chosen LUN, stripe by stripe and rebuilding a lost
segment from parity, into an image file or onto a disk. The members are
opened read-only.

The package holds the desktop program (corvane, Qt 6), the command-line tool
(corvane-cli) and the sample disk-group generator (corvane-mksample).")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(TARGET corvane)
  # The libraries name no platform plugin: without one the window cannot
  # open. The texts are Chinese; Qt's own dialogs speak it with its
  # translations.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, qt6-translations-l10n")
endif()
# ddrescuelog reads the export's mapfile; fusermount3 mounts and unmounts
# for users other than root.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gddrescue, fuse3")

# Source packages are not made here; keep `package_source` from packing
# build trees.
set(CPACK_SOURCE_IGNORE_FILES "/build/;/demo/;/\\\\.git/")

include(CPack)
