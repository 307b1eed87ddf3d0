# Installation and the Debian package.
#   cmake --install build --prefix /usr        bin/, share/man/man1/ and the
#                                              update framework integrations
#   (cd build && cpack -G DEB)                 update-syscon_VERSION_ARCH.deb
include(GNUInstallDirs)

# update_syscon (src/) and syscon_sim (sim/) install their own programs to
# bin/; the man pages go in compressed, as Debian ships them.
set(SYSCON_MAN_PAGES update_syscon.1 syscon_sim.1)
set(gz_pages)
foreach(page ${SYSCON_MAN_PAGES})
    set(gz ${CMAKE_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${gz}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/${page} > ${gz}
        DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}
        COMMENT "Compressing man page ${page}")
    list(APPEND gz_pages ${gz})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${gz_pages})
install(FILES ${gz_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The update framework integrations, where the frameworks look with the
# prefix /usr: Debian's SWUpdate runs Lua 5.3, whose modules live in
# share/lua/5.3; Mender runs Update Modules from share/mender/modules/v3.
install(FILES ${PROJECT_SOURCE_DIR}/integrations/swupdate/swupdate_syscon.lua
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lua/5.3)
install(FILES ${PROJECT_SOURCE_DIR}/integrations/swupdate/swupdate_handlers.lua
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/integrations/mender/syscon
    DESTINATION ${CMAKE_INSTALL_DATADIR}/mender/modules/v3)
# The boot service: its script, its unit (enabled by nobody but the
# administrator) and an example configuration.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/integrations/systemd/update-syscon
    DESTINATION ${CMAKE_INSTALL_LIBEXECDIR})
# The unit names the script by the prefix of the install, not of the build.
install(CODE "
    set(CMAKE_INSTALL_FULL_LIBEXECDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/integrations/systemd/update-syscon.service.in\"
        \"${CMAKE_BINARY_DIR}/update-syscon.service\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/update-syscon.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/integrations/systemd/update-syscon.default
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME update-syscon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SYSCON flash ROM maintenance tool and simulator")
set(CPACK_PACKAGE_DESCRIPTION "update_syscon writes, reads back, and checks the version and\n\
checksum of the flash ROM of a board's system controller (SYSCON) over a\n\
serial line. syscon_sim simulates the SYSCON on a pseudo-terminal.")
set(CPACK_PACKAGE_CONTACT "SYSCON tools maintainers <syscon-tools@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the programs' shared libraries (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
