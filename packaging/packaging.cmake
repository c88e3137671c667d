# Install layout and Debian packages: "mgtask" (the agent and its unit) for the
# board, "fwtool" for engineers' machines, "mgtask-mender" (the matrix-mcu
# update module, architecture all) for boards a Mender server updates.
include(GNUInstallDirs)

set(MGTASK_INSTALLED ${CMAKE_INSTALL_FULL_SBINDIR}/mgtask)
configure_file(${CMAKE_SOURCE_DIR}/packaging/mgtask.service.in ${CMAKE_BINARY_DIR}/packaging/mgtask.service @ONLY)
install(TARGETS mgtask RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT agent)
install(FILES ${CMAKE_BINARY_DIR}/packaging/mgtask.service ${CMAKE_SOURCE_DIR}/packaging/mgtask.socket
        DESTINATION lib/systemd/system COMPONENT agent)
install(TARGETS fwtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/fwtool.bash-completion DESTINATION share/bash-completion/completions
        RENAME fwtool COMPONENT tool)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/mender/matrix-mcu DESTINATION share/mender/modules/v3 COMPONENT mender)

# The module where the client looks for it, in the build tree too: a test
# binds ${CMAKE_BINARY_DIR}/mender-modules over /usr/share/mender/modules.
configure_file(${CMAKE_SOURCE_DIR}/packaging/mender/matrix-mcu ${CMAKE_BINARY_DIR}/mender-modules/v3/matrix-mcu
               COPYONLY)

# What Debian wants of every package: its copyright and changelog.
foreach(pair agent:mgtask tool:fwtool mender:mgtask-mender)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${FWAGENT_GENERATED}/changelog.Debian.gz
          DESTINATION share/doc/${package} COMPONENT ${component})
endforeach()

# Manual pages from the programs' own help (help2man); a cross build runs
# the programs under its emulator.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  file(MAKE_DIRECTORY ${man_dir}/run)
  set(man_pages "")
  foreach(entry "mgtask:8:firmware-upgrade agent of the matrix control board:OFF"
                "fwtool:1:the engineer's tool for the matrix control board's upgrade agent:ON")
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 prog)
    list(GET entry 1 section)
    list(GET entry 2 description)
    list(GET entry 3 commands)
    # help2man names the page after the program it runs: a wrapper of that name.
    string(REPLACE ";" " " emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    set(wrapper "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${prog}> \"$@\"\n")
    file(GENERATE OUTPUT ${man_dir}/run/${prog} CONTENT "${wrapper}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    add_custom_command(OUTPUT ${man_dir}/${prog}.${section}.gz
      COMMAND ${CMAKE_COMMAND} -DPROGRAM=${man_dir}/run/${prog} -DNAME=${prog} -DSECTION=${section}
              "-DDESCRIPTION=${description}" -DCOMMANDS=${commands} -DWORK_DIR=${man_dir}
              -DOUT=${man_dir}/${prog}.${section}.gz -DINCLUDE=${CMAKE_SOURCE_DIR}/packaging/${prog}.h2m
              -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
      DEPENDS ${prog} ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake ${CMAKE_SOURCE_DIR}/packaging/${prog}.h2m
      COMMENT "Manual page ${prog}(${section})" VERBATIM)
    list(APPEND man_pages ${man_dir}/${prog}.${section}.gz)
  endforeach()
  add_custom_target(fwagent_manpages ALL DEPENDS ${man_pages})
  install(FILES ${man_dir}/mgtask.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT agent)
  install(FILES ${man_dir}/fwtool.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
else()
  message(WARNING "help2man not found: the packages are built without manual pages (scripts/deps.sh installs it)")
endif()

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
# The version is the build's own (cmake/version.cmake), read when cpack runs.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_SOURCE_DIR}/packaging/cpack-version.cmake.in ${CMAKE_BINARY_DIR}/packaging/cpack-version.cmake
               @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/cpack-version.cmake)
set(CPACK_PACKAGE_CONTACT "${FWAGENT_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL agent tool mender)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FWAGENT_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Named by hand: dpkg-shlibdeps cannot see the armhf libraries of a cross build.
set(FWAGENT_DEB_LIBS "libc6 (>= 2.36), libgcc-s1, libstdc++6 (>= 12)")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME mgtask)
# CPack puts the one space in front of each line of the long description.
set(CPACK_COMPONENT_AGENT_DESCRIPTION "Firmware-upgrade agent of the matrix control board\n\
Takes upgrade orders from the board's main application and flashes every\n\
chip on the serial line: the EP and BV devices, the master and IO MCUs and\n\
the Valens chip. A package upgrade ends with a reboot of the board.")
# The agent carries its C++ runtime (see the top-level CMakeLists.txt); tar,
# gzip and coreutils, which it runs, are essential packages.
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "libc6 (>= 2.36)")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/deb/postinst ${CMAKE_BINARY_DIR}/packaging/deb/prerm
    ${CMAKE_BINARY_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME fwtool)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "Engineer's command line for the matrix control board's upgrade agent\n\
Simulates a whole upgrade against an emulated board, checks update packages,\n\
makes them Mender artifacts, sends orders and reads serial line traces.")
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${FWAGENT_DEB_LIBS}")
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION devel)

set(CPACK_DEBIAN_MENDER_PACKAGE_NAME mgtask-mender)
set(CPACK_COMPONENT_MENDER_DESCRIPTION "Mender update module for the matrix control board's MCU packages\n\
The update module matrix-mcu installs artifacts made by fwtool artifact: it\n\
hands the package to the board's firmware-upgrade agent, orders the upgrade\n\
and reports each board's outcome, read from the agent's result record, to\n\
the deployment.")
set(CPACK_DEBIAN_MENDER_PACKAGE_ARCHITECTURE all)
# Depends (on mgtask of this very version) is set when cpack runs.
set(CPACK_DEBIAN_MENDER_PACKAGE_ENHANCES mender-client)

include(CPack)
