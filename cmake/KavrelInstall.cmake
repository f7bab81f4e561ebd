# What `cmake --install` puts in place (Linux), laid out by GNUInstallDirs:
#   lib/libkavrel.so.1 (+ the libkavrel.so link)   include/kavrel/*.h
#   lib/cmake/Kavrel/ (find_package(Kavrel), target Kavrel::kavrel)
#   lib/pkgconfig/kavrel.pc                          bin/ (tools/CMakeLists.txt)
#   share/doc/kavrel/ (README, docs/, python/)       lib/python3/dist-packages/kavrel/
# Every file refers to the others by relative paths, so the installed tree
# works wherever it is moved or unpacked. The Debian package is cut from the
# same rules (cmake/KavrelPackage.cmake).
include(CMakePackageConfigHelpers)

install(TARGETS kavrel EXPORT KavrelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/kavrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

set(KAVREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kavrel)
install(EXPORT KavrelTargets NAMESPACE Kavrel:: DESTINATION ${KAVREL_CMAKE_DIR})
configure_package_config_file(cmake/KavrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KavrelConfig.cmake INSTALL_DESTINATION ${KAVREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KavrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KavrelConfig.cmake ${PROJECT_BINARY_DIR}/KavrelConfigVersion.cmake
        DESTINATION ${KAVREL_CMAKE_DIR})

# kavrel.pc finds the prefix from its own place (pkg-config's ${pcfiledir}).
set(pc_dir ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KAVREL_PC_TO_PREFIX ${pc_dir} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KAVREL_PC_TO_PREFIX "${KAVREL_PC_TO_PREFIX}")
file(RELATIVE_PATH KAVREL_PC_LIBDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_LIBDIR})
file(RELATIVE_PATH KAVREL_PC_INCLUDEDIR ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
configure_file(cmake/kavrel.pc.in ${PROJECT_BINARY_DIR}/kavrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kavrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Python package, where Debian's python3 looks with the /usr prefix
# (elsewhere: PYTHONPATH=<prefix>/lib/python3/dist-packages).
set(KAVREL_PYTHON_INSTALL_DIR lib/python3/dist-packages)
install(DIRECTORY python/kavrel DESTINATION ${KAVREL_PYTHON_INSTALL_DIR}
        PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)

# Laid out as in the source tree, where the README and the docs name each
# other (`docs/members.md`, `python/README.md`).
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
install(FILES python/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/python)

include(cmake/KavrelPackage.cmake)
