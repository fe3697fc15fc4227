# What `make package` installs, and the Debian package CPack builds from it.
#
# Layout on the installed system:
#   /usr/bin                      corvane, pellora, corvane-run, corvane-site, corvane-categories
#   /usr/lib/corvane              libcorvanelsp.so (the programs find it through their RUNPATH,
#                                 corvane-run and the system-wide preload entry by full path)
#   /var/lib/corvane/sites        the policy site Corvane.dat (CORVANE_SITES in the unit)
#   /var/lib/corvane/registry.reg written by `corvane -Service` in postinst, mode 0600
#   /lib/systemd/system           corvane.service, corvane-categories.service
#   /usr/lib/systemd/user         pellora.service; /etc/xdg/autostart/pellora.desktop (tray/)
#   /usr/share/corvane/categories the sample category lists
set(CORVANE_PKG_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CORVANE_PRIVATE_LIBDIR lib/corvane)

# The programs that link the connect() library look for it in the private directory.
# (tray/ installs pellora itself, with its user unit and autostart entry.)
foreach(program corvane pellora)
    if(TARGET ${program})
        set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CORVANE_PRIVATE_LIBDIR}")
    endif()
endforeach()
foreach(program corvane corvane-run corvane-site corvane-categories)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION bin)
    endif()
endforeach()
if(TARGET corvanelsp)
    install(TARGETS corvanelsp LIBRARY DESTINATION ${CORVANE_PRIVATE_LIBDIR})
endif()
if(TARGET policysite)
    install(FILES ${CMAKE_BINARY_DIR}/service/Corvane.dat DESTINATION /var/lib/corvane/sites)
endif()

install(FILES ${CORVANE_PKG_DIR}/corvane.service DESTINATION /lib/systemd/system)
set(CORVANE_PKG_CONFFILES "")
if(TARGET corvane-categories)
    install(FILES ${CORVANE_PKG_DIR}/corvane-categories.service DESTINATION /lib/systemd/system)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/tools/categories/sample/
            DESTINATION share/corvane/categories)
endif()
if(TARGET pellora)
    string(APPEND CORVANE_PKG_CONFFILES "/etc/xdg/autostart/pellora.desktop\n")
endif()

# Manual pages and the changelog, compressed without time stamps as Debian wants them.
set(CORVANE_PKG_GZ "")
set(CORVANE_PKG_DOC share/doc/corvane)
foreach(page corvane pellora corvane-run corvane-site corvane-categories)
    if(TARGET ${page})
        set(out ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz)
        add_custom_command(OUTPUT ${out}
            COMMAND gzip -9nc ${CORVANE_PKG_DIR}/man/${page}.1 > ${out}
            DEPENDS ${CORVANE_PKG_DIR}/man/${page}.1 VERBATIM)
        list(APPEND CORVANE_PKG_GZ ${out})
        install(FILES ${out} DESTINATION share/man/man1)
    endif()
endforeach()
set(out ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${out}
    COMMAND gzip -9nc ${CORVANE_PKG_DIR}/debian/changelog > ${out}
    DEPENDS ${CORVANE_PKG_DIR}/debian/changelog VERBATIM)
list(APPEND CORVANE_PKG_GZ ${out})
install(FILES ${out} DESTINATION ${CORVANE_PKG_DOC})
install(FILES ${CORVANE_PKG_DIR}/debian/copyright DESTINATION ${CORVANE_PKG_DOC})
add_custom_target(packagefiles ALL DEPENDS ${CORVANE_PKG_GZ})

# Maintainer scripts and the file trigger, with the file list of /etc.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging/control)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/control/conffiles "${CORVANE_PKG_CONFFILES}")
set(CORVANE_PKG_CONTROL "")
foreach(script postinst prerm postrm triggers)
    configure_file(${CORVANE_PKG_DIR}/debian/${script} ${CMAKE_BINARY_DIR}/packaging/control/${script}
                   COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                   GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND CORVANE_PKG_CONTROL ${CMAKE_BINARY_DIR}/packaging/control/${script})
endforeach()
if(CORVANE_PKG_CONFFILES)
    list(APPEND CORVANE_PKG_CONTROL ${CMAKE_BINARY_DIR}/packaging/control/conffiles)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "Corvane developers <packages@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "parental-control web filter for Linux desktops")
# The extended description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Corvane diverts the outbound TCP connections of the installed web browsers
to a local service, which asks the scripts of its policy site whether each
connection and each HTTP request may go on, is blocked, or is answered with
a page of its own. The package contains the service, the per-user tray
program, the connect() library that diverts the browsers, the site
compiler and a URL category server.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/${CORVANE_PRIVATE_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CORVANE_PKG_CONTROL})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
