# Install layout and Debian packages: "mgtask" (the agent and its unit) for the
# board, "fwtool" for engineers' machines.
include(GNUInstallDirs)

set(MGTASK_INSTALLED ${CMAKE_INSTALL_FULL_SBINDIR}/mgtask)
configure_file(${CMAKE_SOURCE_DIR}/packaging/mgtask.service.in ${CMAKE_BINARY_DIR}/packaging/mgtask.service @ONLY)
install(TARGETS mgtask RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT agent)
install(FILES ${CMAKE_BINARY_DIR}/packaging/mgtask.service ${CMAKE_SOURCE_DIR}/packaging/mgtask.socket
        DESTINATION lib/systemd/system COMPONENT agent)
install(TARGETS fwtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(FWAGENT_DEB_ARCH armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE FWAGENT_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT FWAGENT_DEB_ARCH)
    set(FWAGENT_DEB_ARCH amd64)
  endif()
endif()
# Only the board starts the agent by itself.
if(FWAGENT_DEB_ARCH STREQUAL "armhf")
  set(FWAGENT_ENABLE_UNIT yes)
else()
  set(FWAGENT_ENABLE_UNIT no)
endif()
configure_file(${CMAKE_SOURCE_DIR}/packaging/deb/postinst.in ${CMAKE_BINARY_DIR}/packaging/deb/postinst @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/deb/prerm ${CMAKE_BINARY_DIR}/packaging/deb/prerm COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/deb/postrm ${CMAKE_BINARY_DIR}/packaging/deb/postrm COPYONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fwagent)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "matrix control board team <board@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL agent tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FWAGENT_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Named by hand: dpkg-shlibdeps cannot see the armhf libraries of a cross build.
set(FWAGENT_DEB_LIBS "libc6 (>= 2.36), libgcc-s1, libstdc++6 (>= 12)")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME mgtask)
set(CPACK_COMPONENT_AGENT_DESCRIPTION "Firmware-upgrade agent of the matrix control board\n\
 Takes upgrade orders from the board's main application and flashes every chip on the serial line.")
# The agent carries its C++ runtime (see the top-level CMakeLists.txt).
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "libc6 (>= 2.36), tar, gzip, coreutils")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/deb/postinst ${CMAKE_BINARY_DIR}/packaging/deb/prerm
    ${CMAKE_BINARY_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME fwtool)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "Engineer's command line for the matrix control board's upgrade agent\n\
 Simulates a whole upgrade against an emulated board, checks packages, sends orders.")
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${FWAGENT_DEB_LIBS}, tar, gzip")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION devel)

include(CPack)
