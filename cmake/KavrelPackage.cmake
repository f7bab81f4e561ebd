# The Debian package, one package holding the library, the headers, the
# CMake and pkg-config files, the tools and the documentation:
#   cmake -S . -B build-deb -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build-deb
#   (cd build-deb && cpack)          -> build-deb/kavrel_<version>_<arch>.deb
# (tools/build-deb.sh does this). Its dependencies are computed by
# dpkg-shlibdeps; installing or removing it runs ldconfig.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavrel)
set(CPACK_PACKAGE_VENDOR Tivorand)
set(CPACK_PACKAGE_CONTACT "Tivorand <kavrel@tivorand.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port communication component (automation object comms)")
set(CPACK_PACKAGE_DESCRIPTION
  "Kavrel is one automation object, comms, that a host program creates to drive up to four serial ports: open by name, configure from a mode string, read and write text, modem lines, a last-error record, and a connection layer with a polling loop and two events. This package holds libkavrel.so.1, the headers, the CMake package and pkg-config files, kavrel-regsvr and the documentation.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Removing the package also removes what Python compiled from its modules.
set(KAVREL_DEB_PYTHON_PACKAGE_DIR ${CMAKE_INSTALL_PREFIX}/${KAVREL_PYTHON_INSTALL_DIR}/kavrel)
configure_file(packaging/debian/prerm.in ${PROJECT_BINARY_DIR}/debian/prerm @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build.*/")
include(CPack)
