# Installation layout and the Debian package. Included from the top-level CMakeLists.txt after
# all targets exist. The program binary installs itself from app/, the simulator from tools/.

set(NP_DATA_DIR ${CMAKE_CURRENT_LIST_DIR})
set(NP_APP_ID io.github.narwickpanel.NarwickPanel)

install(FILES ${NP_DATA_DIR}/${NP_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${NP_DATA_DIR}/${NP_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# An example for starting logging with the desktop session (README: "Unattended logging").
install(FILES ${NP_DATA_DIR}/narwickpanel-autostart.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/narwickpanel/examples)

# The service (README: "Running as a service"): the unit, and its options as a configuration
# file the administrator edits (kept by the package on upgrades).
install(FILES ${NP_DATA_DIR}/narwickpanel.service DESTINATION lib/systemd/system)
install(FILES ${NP_DATA_DIR}/narwickpanel.default DESTINATION /etc/default RENAME narwickpanel)

# The window's typeface is compiled into the program; its licence travels with it.
install(FILES ${NP_DATA_DIR}/fonts/OFL.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/narwickpanel
        RENAME Lato-OFL.txt)

install(FILES ${NP_DATA_DIR}/icons/narwickpanel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN ITEMS 16 24 32 48 64 128 256)
    install(FILES ${NP_DATA_DIR}/icons/narwickpanel-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME narwickpanel.png)
endforeach()

# Debian package: cpack -G DEB in a build directory.
if(PROJECT_IS_TOP_LEVEL)
    set(CPACK_GENERATOR "DEB")
    set(CPACK_PACKAGE_NAME "narwickpanel")
    set(CPACK_PACKAGE_VENDOR "NarwickPanel developers")
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
        "Show and log the readings of a serial sensor instrument and a pressure gauge")
    set(CPACK_PACKAGE_CONTACT "NarwickPanel developers <narwickpanel@example.org>")
    set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
    set(CPACK_STRIP_FILES ON)

    set(CPACK_DEBIAN_PACKAGE_NAME "narwickpanel")
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "NarwickPanel developers <narwickpanel@example.org>")
    set(CPACK_DEBIAN_PACKAGE_SECTION "science")
    set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
    set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://narwickpanel.example.org/")
    set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
        "Show and log the readings of a serial sensor instrument and a pressure gauge
 NarwickPanel watches a multi-channel sensor read-out instrument on one serial
 port and a pressure gauge on a second one, shows each reading and the pressure,
 and optionally saves the readings to one text file per sensor. It never sends
 anything to either device. The package also holds narwickpanel-sim, a device
 simulator on pseudo-terminals for trying the program without hardware.")

    # The library dependencies are read from the binaries. The typeface is compiled in, so no
    # font package is needed.
    find_program(NP_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(NP_DPKG_SHLIBDEPS)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    else()
        set(CPACK_DEBIAN_PACKAGE_DEPENDS
            "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4), libqt6svg6 (>= 6.4), libsystemd0, libmosquitto1, libc6, libstdc++6")
    endif()
    # The service's options are the administrator's: an upgrade keeps an edited file.
    file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/default/narwickpanel\n")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)

    include(CPack)
endif()
