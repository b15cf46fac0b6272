# What the Debian packages install, and how CPack builds them (scripts/package):
#   brisvale          the app, the mount helper (also as /sbin/mount.mtpfs for mount -t mtpfs),
#                     the desktop entry and icon, the udev rule that opens phones to the user;
#   brisvale-phonesim the simulated phone (a test fixture and demo; it pulls in umockdev).
include(GNUInstallDirs)

set(BRISVALE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

install(TARGETS brisvale RUNTIME DESTINATION bin COMPONENT brisvale)
install(TARGETS mount.mtpfs RUNTIME DESTINATION bin COMPONENT brisvale)
install(CODE [[
  file(MAKE_DIRECTORY "$ENV{DESTDIR}/sbin")
  file(CREATE_LINK /usr/bin/mount.mtpfs "$ENV{DESTDIR}/sbin/mount.mtpfs" SYMBOLIC)
]] COMPONENT brisvale)
install(FILES ${BRISVALE_PACKAGING_DIR}/70-brisvale-phones.rules
        DESTINATION /lib/udev/rules.d COMPONENT brisvale)

# In the desktop's menus, with its icon; the setup page the panel's setup card opens.
install(FILES ${PROJECT_SOURCE_DIR}/data/brisvale.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT brisvale)
install(FILES ${PROJECT_SOURCE_DIR}/data/brisvale.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT brisvale)
install(FILES ${PROJECT_SOURCE_DIR}/data/setup.html
        DESTINATION ${CMAKE_INSTALL_DATADIR}/brisvale COMPONENT brisvale)

# Debian wants a copyright file and a compressed changelog in each package's doc folder.
configure_file(${BRISVALE_PACKAGING_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog)
foreach(package brisvale brisvale-phonesim)
  string(REPLACE "brisvale-" "" component ${package})
  install(FILES ${BRISVALE_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

# mkplaceholder comes along for mounting the simulated phone by hand.
install(TARGETS phonesim-cli phonesim-hold phonesim-ctl mkplaceholder RUNTIME DESTINATION bin
        COMPONENT phonesim)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# /sbin and /lib/udev lie outside the prefix: install into a staging root instead.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME brisvale)
set(CPACK_PACKAGE_VENDOR Tavrel)
set(CPACK_PACKAGE_CONTACT "Tavrel <brisvale@tavrel.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL brisvale phonesim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tavrel.com/brisvale)

set(CPACK_DEBIAN_BRISVALE_PACKAGE_NAME brisvale)
set(CPACK_DEBIAN_BRISVALE_PACKAGE_DEPENDS "fuse3")
# Without root, loop devices are attached through udisks.
set(CPACK_DEBIAN_BRISVALE_PACKAGE_RECOMMENDS "udisks2")
set(CPACK_COMPONENT_BRISVALE_DESCRIPTION "Android phones as mounted volumes
Brisvale watches USB for phones that speak MTP and mounts each one as a
volume that file managers show, read-only unless the user allows changes.
The file system, KestrumFS, is a FUSE file system started by the mount
helper mount.mtpfs.")

set(CPACK_DEBIAN_PHONESIM_PACKAGE_NAME brisvale-phonesim)
set(CPACK_DEBIAN_PHONESIM_PACKAGE_DEPENDS "umockdev")
set(CPACK_DEBIAN_PHONESIM_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_PHONESIM_DESCRIPTION "simulated Android phone on a virtual USB bus
phonesim plugs a simulated MTP phone into a virtual USB bus (umockdev) and
runs a command that sees it as a real USB device: a demo of Brisvale
without a phone, and a test fixture with switchable faults.")

include(CPack)

# Builds the packages, installs them into a fresh Debian 12 root and uses them there as an
# ordinary user; skipped (77) without root, debootstrap or the Debian mirror.
add_test(NAME package_install
         COMMAND ${PROJECT_SOURCE_DIR}/tests/package/install_test.sh ${PROJECT_SOURCE_DIR}
                 ${CMAKE_BINARY_DIR})
set_tests_properties(package_install PROPERTIES LABELS package SKIP_RETURN_CODE 77 TIMEOUT 900
                                                RUN_SERIAL ON)
