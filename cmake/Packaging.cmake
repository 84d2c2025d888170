# The Debian package: `cpack -G DEB` in a Release build folder writes orvanta_<version>_<arch>.deb
# with the three programs, orvanta-cli's Qt module, the desktop entry, icon and AppStream
# metainfo, the man pages, the bash completion of orvanta-cli, the udev rule that lowers USB
# serial adapters' latency timer, the command-line and fleet guides, and Debian's copyright
# (machine-readable, Apache-2.0) and changelog files. The package's dependencies come from
# dpkg-shlibdeps on the programs and the module. Cmake/Hardening.cmake gives the programs
# Debian's hardening flags.

# Man pages and the changelog are kept as text in the repository and installed compressed, as
# Debian wants them (-n: no name or time stamp inside, so the bytes repeat).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_pages orvanta.1 orvanta-cli.1 orvanta-projector.1)
set(compressed)
foreach(page ${man_pages})
    set(out ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_SOURCE_DIR}/docs/man/${page} > ${out}
        DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}
        VERBATIM)
    list(APPEND compressed ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
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
    RENAME orvanta-cli)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvanta)
install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvanta)
# The man pages name these two in SEE ALSO.
install(FILES ${CMAKE_SOURCE_DIR}/docs/orvanta-cli.md ${CMAKE_SOURCE_DIR}/docs/fleet.md
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvanta)
# udev reads lib/udev/rules.d under /usr as well (Debian's /lib is /usr/lib).
install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-orvanta-usb-latency.rules
    DESTINATION lib/udev/rules.d)
if(TARGET orvanta)
    # Software centres find the wizard by its metainfo, named after the component id.
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/orvanta.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME example.orvanta.Orvanta.metainfo.xml)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvanta")
set(CPACK_PACKAGE_CONTACT "Orvanta maintainers <maintainers@orvanta.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "projector firmware upgrade over RS-232")
set(CPACK_PACKAGE_DESCRIPTION
    "Orvanta upgrades a projector's firmware over an RS-232 serial line.\n"
    "The wizard (orvanta) takes a firmware package (an .inf script naming Intel\n"
    "HEX files, or a .bin image), builds one firmware image from it and sends it\n"
    "to the projector file by file, XMODEM-style. orvanta-cli builds, inspects\n"
    "and sends packages from scripts and factory lines. orvanta-projector is a\n"
    "simulated projector on a pseudo-terminal, for tests and demonstrations.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The wizard needs a platform plugin, which no program links to.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
