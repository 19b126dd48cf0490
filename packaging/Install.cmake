# Install layout and the Debian package (cpack -G DEB). Included at the end of the top-level
# CMakeLists.txt, after every target exists.

include(GNUInstallDirs)

# Relative to the install prefix: systemd's user search path has both /usr/lib/systemd/user
# and /usr/local/lib/systemd/user, so the Debian package and a default source install both land
# where `systemctl --user` looks.
set(VORN_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Directory of the systemd user unit, relative to the install prefix or absolute")
set(VORN_PACKAGE_MAINTAINER "Vorn developer <dev@vorn.example>" CACHE STRING
    "Maintainer field of the Debian package")

install(TARGETS vorn-font-agent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The preview page is optional and its file list is read at install time, so pages added
# after configuring are installed too. Editor and VCS dotfiles stay behind.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/web/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vorn-font-agent
        OPTIONAL
        PATTERN ".*" EXCLUDE)

# Debian wants the licence as share/doc/<package>/copyright. There is none to ship until the
# project has a LICENSE file; looked for at install time, and without leaving an empty folder.
install(CODE "
  if(EXISTS \"${PROJECT_SOURCE_DIR}/LICENSE\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\" TYPE FILE
         RENAME copyright FILES \"${PROJECT_SOURCE_DIR}/LICENSE\")
  endif()
")

# Debian policy wants manual pages compressed with gzip -9 (and -n keeps the package
# reproducible); without gzip the page is installed as it is.
find_program(VORN_GZIP gzip)
set(VORN_MAN_SOURCE ${CMAKE_CURRENT_LIST_DIR}/vorn-font-agent.1)
if(VORN_GZIP)
  set(VORN_MAN_PAGE ${PROJECT_BINARY_DIR}/packaging/vorn-font-agent.1.gz)
  add_custom_command(
    OUTPUT ${VORN_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E copy ${VORN_MAN_SOURCE} ${PROJECT_BINARY_DIR}/packaging/vorn-font-agent.1
    COMMAND ${VORN_GZIP} -9nf ${PROJECT_BINARY_DIR}/packaging/vorn-font-agent.1
    DEPENDS ${VORN_MAN_SOURCE}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(vorn-man-page ALL DEPENDS ${VORN_MAN_PAGE})
else()
  set(VORN_MAN_PAGE ${VORN_MAN_SOURCE})
endif()
install(FILES ${VORN_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names the binary by absolute path, and the prefix is only final at install time
# (cmake --install --prefix, or CPack's /usr), so the unit is configured then, not now.
install(CODE "
  set(VORN_UNIT_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/vorn-font-agent.service\")
  set(VORN_SOCKET_UNIT \"${CMAKE_CURRENT_LIST_DIR}/vorn-font-agent.socket\")
  set(VORN_UNIT_STAGING \"${PROJECT_BINARY_DIR}/packaging/unit\")
  set(VORN_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(VORN_UNIT_DIR \"${VORN_SYSTEMD_USER_UNIT_DIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/InstallUnit.cmake\")
")

# --- Debian package ---------------------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn-font-agent)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorn")
set(CPACK_PACKAGE_CONTACT "${VORN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local HTTP agent that shows web pages the installed fonts")
# Wrapped by hand, since dpkg shows it as written; CPack turns the empty line into the " ."
# paragraph break. No double quotes: CPack writes the text into its config unescaped.
set(CPACK_PACKAGE_DESCRIPTION [=[
Vorn Font Agent is a small HTTP daemon for the Linux desktop. It answers a
web page with one JSON catalogue of the installed fonts, built with
fontconfig and FreeType (families, faces, weights, widths, slants,
variable-font axes and named instances), and hands over the bytes of a
listed font file on request, so that a web design tool can preview and use
the user's own fonts.

The package has a systemd user unit that runs the agent on the loopback
address. Enable it with: systemctl --user enable --now vorn-font-agent
or let systemd start it on the first request with the socket unit:
systemctl --user enable --now vorn-font-agent.socket]=])
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackOptions.cmake)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VORN_PACKAGE_MAINTAINER}")

# dpkg-shlibdeps (package dpkg-dev) derives Depends from the libraries the binary really links,
# with the versions its symbols need; without it, the same list as Debian 12 gives it.
find_program(VORN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VORN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libevent-2.1-7 (>= 2.1.8-stable), libfontconfig1 (>= 2.13.0), libfreetype6 (>= 2.9.1), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
endif()

# `make package_source` packs the source tree: build and scratch folders stay out.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/__pycache__/" "/fuzz/corpus[^/]*/")

include(CPack)
