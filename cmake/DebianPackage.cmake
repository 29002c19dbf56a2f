# A Debian package of the plugin for the host it was built against:
# `cpack -G DEB` in the build folder.
#
# The host's ABI changes with every minor release and the loader refuses a
# plugin built for another one, so the package depends on exactly the minor
# version of the host library package the plugin links.

get_target_property(morvastelle_epan_library epan LOCATION)
file(REAL_PATH "${morvastelle_epan_library}" morvastelle_epan_library)
execute_process(
    COMMAND dpkg-query -S "${morvastelle_epan_library}"
    OUTPUT_VARIABLE morvastelle_epan_owner
    RESULT_VARIABLE morvastelle_dpkg_result
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE
)
if(morvastelle_dpkg_result EQUAL 0)
    # "libwireshark16:amd64: /usr/lib/..." -> "libwireshark16"
    string(REGEX REPLACE "[:,].*" "" morvastelle_epan_package "${morvastelle_epan_owner}")
    math(EXPR morvastelle_next_minor "${Wireshark_MINOR_VERSION} + 1")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "${morvastelle_epan_package} (>= ${MORVASTELLE_HOST_VERSION}), ${morvastelle_epan_package} (<< ${Wireshark_MAJOR_VERSION}.${morvastelle_next_minor})")
else()
    message(STATUS "No Debian package owns ${morvastelle_epan_library}: the .deb will not name the host library")
endif()

install(FILES README.md LICENSE
    DESTINATION share/doc/${MORVASTELLE_DEB_PACKAGE}
    COMPONENT doc
)

set(CPACK_PACKAGE_NAME ${MORVASTELLE_DEB_PACKAGE})
set(CPACK_PACKAGE_VERSION ${MORVASTELLE_VERSION})
set(CPACK_PACKAGE_CONTACT "MORVASTELLE plugin developers <morvastelle@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Wireshark dissector for MORVASTELLE (ISDN LAPD over UDP)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Built for Wireshark ${MORVASTELLE_HOST_VERSION}. Decodes ISDN LAPD frames tunnelled in\nUDP (port 4), each labelled with the name of its ISDN port, and hands\nthem to Wireshark's LAPD and Q.931 dissectors.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The version names the host too: one package per host minor release.
set(CPACK_DEBIAN_PACKAGE_VERSION "${MORVASTELLE_VERSION}+wireshark${MORVASTELLE_HOST_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
