# The Debian packages: `cpack -G DEB` in a Release build folder writes two, one per install
# component, so that a machine without a display takes the command line alone:
#
# - orvanta-cli_<version>_<arch>.deb (component cli): orvanta-cli, orvanta-projector, their
#   man pages, the bash completion of orvanta-cli, the udev rule that lowers USB serial
#   adapters' latency timer, and the command-line and fleet guides;
# - orvanta_<version>_<arch>.deb (component wizard, when the wizard is built): the wizard, its
#   desktop entry, icon, AppStream metainfo and man page; it depends on orvanta-cli of the same
#   version.
#
# Each holds Debian's copyright (machine-readable, Apache-2.0) and changelog files in its own
# /usr/share/doc/<package>. Dependencies come from dpkg-shlibdeps, per package, on its own
# programs. Cmake/Hardening.cmake gives the programs Debian's hardening flags.

# Man pages and the changelog are kept as text in the repository and installed compressed, as
# Debian wants them (-n: no name or time stamp inside, so the bytes repeat).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_pages orvanta.1 orvanta-cli.1 orvanta-projector.1)
set(compressed)
set(components cli)
if(TARGET orvanta)
    list(APPEND components wizard)
endif()
foreach(page ${man_pages})
    set(out ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${out}
        DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}
        VERBATIM)
    list(APPEND compressed ${out})
    if(page STREQUAL "orvanta.1")
        if(TARGET orvanta)
            install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT wizard)
        endif()
    else()
        install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
    endif()
endforeach()
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
    VERBATIM)
add_custom_target(orvanta_compressed_docs ALL DEPENDS ${compressed} ${changelog})

install(FILES ${CMAKE_SOURCE_DIR}/packaging/orvanta-cli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME orvanta-cli COMPONENT cli)
# The man pages name these two in SEE ALSO.
install(FILES ${CMAKE_SOURCE_DIR}/docs/orvanta-cli.md ${CMAKE_SOURCE_DIR}/docs/fleet.md
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvanta-cli COMPONENT cli)
# udev reads lib/udev/rules.d under /usr as well (Debian's /lib is /usr/lib).
install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-orvanta-usb-latency.rules
    DESTINATION lib/udev/rules.d COMPONENT cli)
if(TARGET orvanta)
    # Software centres find the wizard by its metainfo, named after the component id.
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/orvanta.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME example.orvanta.Orvanta.metainfo.xml COMPONENT wizard)
endif()
set(package_of_cli orvanta-cli)
set(package_of_wizard orvanta)
foreach(component ${components})
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package_of_${component}}
        COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_PACKAGE_NAME orvanta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvanta")
set(CPACK_PACKAGE_CONTACT "Orvanta maintainers <maintainers@orvanta.example>")
# Each package's description: its first line is the summary.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME orvanta-cli)
set(CPACK_DEBIAN_CLI_DESCRIPTION
    "projector firmware upgrade over RS-232, command line\n"
    "Orvanta upgrades a projector's firmware over an RS-232 serial line.\n"
    "orvanta-cli builds one firmware image from a firmware package (an .inf\n"
    "script naming Intel HEX files, or a .bin image), inspects it and sends it\n"
    "to one projector or to several at once, XMODEM-style, from scripts, factory\n"
    "lines and jump hosts; it needs no display. orvanta-projector is a\n"
    "simulated projector on a pseudo-terminal, for tests and demonstrations.")
set(CPACK_DEBIAN_WIZARD_PACKAGE_NAME orvanta)
set(CPACK_DEBIAN_WIZARD_DESCRIPTION
    "projector firmware upgrade over RS-232, wizard\n"
    "Orvanta upgrades a projector's firmware over an RS-232 serial line.\n"
    "The wizard (orvanta) takes a firmware package (an .inf script naming Intel\n"
    "HEX files, or a .bin image), builds one firmware image from it and sends it\n"
    "to the projector file by file, showing the progress, and ends on a page\n"
    "that says whether the upgrade succeeded or why it failed.")
foreach(component CLI WIZARD)
    string(REPLACE ";" "" CPACK_DEBIAN_${component}_DESCRIPTION
        "${CPACK_DEBIAN_${component}_DESCRIPTION}")
endforeach()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Both packages come from one source, whose changelog they carry.
set(CPACK_DEBIAN_PACKAGE_SOURCE orvanta)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The wizard depends on orvanta-cli (= its own version), from the component's DEPENDS, and
# needs a platform plugin, which no program links to.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_WIZARD_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENT_WIZARD_DEPENDS cli)
include(CPack)
