# The Debian package ("make package"), built by CPack from the install rules.
# The dependencies are those dpkg-shlibdeps finds for the program and its
# plug-ins; nothing runs at installation, so there are no maintainer scripts
# (dpkg's own triggers refresh the menu, icon and manual page caches).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zumo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZUMO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch picture converter, rotator, resizer and renamer")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # zumo_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZUMO_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ZUMO_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libheif1 and libjxl0.7 come in through the HEIF and JPEG XL plug-ins; the
# HEVC and AV1 decoders libheif needs (libde265, dav1d, aom) are dependencies
# of libheif1 itself in Debian 12.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# The window speaks Japanese: without a CJK font its captions are boxes.
# IPA P Gothic first: drawn to the designed face's metrics, it is the one
# the window asks for before the others, and its captions fit.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic | fonts-noto-cjk | fonts-vlgothic")
# Windows plug-ins run under Wine (wine32 from the i386 architecture adds
# the 32-bit ones); without it they are skipped with a line that says so.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine, wine64")
# The synopsis line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Zumo is a desktop tool with a Japanese user interface that converts BMP,
JPEG, PNG and GIF pictures into BMP, PNG, GIF or JPEG in batches, rotating
and resizing them on the way. It also converts GIF files, renames, copies
or moves files in numbered batches, lists the pictures of a folder with a
preview, and processes files dropped on its window or named on its command
line, with or without a display.
.
Further formats are previewed through Susie-style import plug-ins; plug-ins
for PNG, GIF, WebP, TIFF, HEIF/AVIF and JPEG XL are included. Each plug-in
runs in a helper process of its own, and Windows plug-ins run under Wine
when it is installed.")

include(CPack)
