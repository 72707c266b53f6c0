# SPDX-License-Identifier: MIT
# Installs the systemd user units, the service naming Tessor at the path it is
# installed to: known only now (cmake --install --prefix, or /usr under CPack).
# One folder per prefix, so that installs side by side do not mix. The data
# CMakeLists sets varnex_data_src, varnex_data_out and varnex_bindir.
string(MD5 prefix_id "${CMAKE_INSTALL_PREFIX}")
set(unit_dir "${varnex_data_out}/units-${prefix_id}")
set(VARNEX_TESSOR "${CMAKE_INSTALL_PREFIX}/${varnex_bindir}/Tessor")
configure_file("${varnex_data_src}/varnex-sweep@.service.in" "${unit_dir}/varnex-sweep@.service"
               @ONLY)
file(INSTALL "${unit_dir}/varnex-sweep@.service" "${varnex_data_src}/varnex-sweep@.timer"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
