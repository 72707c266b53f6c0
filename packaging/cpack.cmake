# SPDX-License-Identifier: MIT
# The Debian package, built by scripts/package.sh: `cpack -G DEB` in a tree
# configured with the package preset.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnex)
set(CPACK_PACKAGE_VENDOR "Varnex")
# The project has no mail host of its own yet: a reserved .example domain
# names none of anyone else's.
set(CPACK_PACKAGE_CONTACT "Varnex developers <varnex@varnex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LAN ping sweeper that shows a subnet's hosts as a grid")
set(CPACK_PACKAGE_DESCRIPTION
    "Varnex sweeps the 255 hosts of one IPv4 subnet with ICMP echo requests, all
in flight at once, for a chosen number of rounds, and paints every host as a
cell of a 16 by 16 grid. It collects the MAC addresses of answering hosts,
keeps a remark per host and has a continuous ping window.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the two programs link (dpkg-shlibdeps); the font
# shows the window's Chinese captions, setcap lets postinst give Morvel its right,
# ieee-data names the vendors of MAC addresses.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei, libcap2-bin, ieee-data")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package installs under /usr whatever the tree's own prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(VARNEX_INSTALLED_MORVEL ${CPACK_PACKAGING_INSTALL_PREFIX}/${VARNEX_PRIVATE_DIR}/Morvel)
configure_file(${CMAKE_CURRENT_LIST_DIR}/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst)

# Debian's documents for the package: the machine-readable copyright file,
# whose licence text is LICENSE's, and the changelog, both as Debian wants
# them (a native package's changelog.gz, made by gzip -9n).
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license}")
set(VARNEX_COPYRIGHT ${CMAKE_MATCH_1})
string(FIND "${license}" "Permission is hereby granted" grant)
string(SUBSTRING "${license}" ${grant} -1 license)
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " VARNEX_LICENSE_TEXT " ${license}")
set(doc_dir ${CMAKE_BINARY_DIR}/packaging/doc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${doc_dir}/copyright @ONLY)
add_custom_command(
  OUTPUT ${doc_dir}/changelog.gz
  COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog > ${doc_dir}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${doc_dir}/changelog.gz)
install(FILES ${doc_dir}/copyright ${doc_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/varnex)

include(CPack)
