# Install rules and the Debian package.
#
# `cmake --install build --prefix /usr/local` lays out the two programs, and on Linux the
# desktop entry, the AppStream metainfo, the icon in the hicolor theme, the man pages and
# the copyright and changelog. `cpack -G DEB` in the build folder packs the same files as
# korvalane_<version>_<arch>.deb for /usr.
include(GNUInstallDirs)

# Directories the install makes are 0755 whatever the umask of the one who installs, as a
# package's directories must be.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS korvalane-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET korvalane)
  install(TARGETS korvalane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

set(KORVALANE_ID org.example.Korvalane)
set(KORVALANE_DATA ${CMAKE_SOURCE_DIR}/data)
set(KORVALANE_GENERATED ${CMAKE_BINARY_DIR}/install-data)
# Debian's own packages spell the documentation folder in lower case, as the package.
set(KORVALANE_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/korvalane)
find_program(KORVALANE_GZIP gzip REQUIRED)

# Man pages and the changelog are installed gzipped, as Debian keeps them; a source ending
# in .in gets the version filled in first. gzip -n leaves out the name and the time, so the
# same sources always give the same bytes.
function(korvalane_gzip source output)
  get_filename_component(name ${source} NAME)
  if(name MATCHES "\\.in$")
    string(REGEX REPLACE "\\.in$" "" name ${name})
    configure_file(${source} ${KORVALANE_GENERATED}/${name} @ONLY)
  else()
    configure_file(${source} ${KORVALANE_GENERATED}/${name} COPYONLY)
  endif()
  execute_process(COMMAND ${KORVALANE_GZIP} -9nkf ${KORVALANE_GENERATED}/${name} COMMAND_ERROR_IS_FATAL ANY)
  set(${output} ${KORVALANE_GENERATED}/${name}.gz PARENT_SCOPE)
endfunction()

if(TARGET korvalane)
  install(FILES ${KORVALANE_DATA}/${KORVALANE_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES ${KORVALANE_DATA}/${KORVALANE_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
  install(FILES ${KORVALANE_DATA}/icons/${KORVALANE_ID}.svg
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES ${KORVALANE_DATA}/icons/${size}x${size}/${KORVALANE_ID}.png
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  korvalane_gzip(${CMAKE_SOURCE_DIR}/docs/man/korvalane.1.in app_page)
  install(FILES ${app_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
korvalane_gzip(${CMAKE_SOURCE_DIR}/docs/man/korvalane-cli.1.in cli_page)
install(FILES ${cli_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

korvalane_gzip(${KORVALANE_DATA}/debian/changelog changelog_gz)
install(FILES ${changelog_gz} ${KORVALANE_DATA}/debian/copyright DESTINATION ${KORVALANE_DOCDIR})

# lintian's overrides mean something only inside the Debian package: they are a component
# of their own that a plain install leaves out, and the package is made of every component
# in one.
install(FILES ${KORVALANE_DATA}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME korvalane COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

# The Debian package. Its dependencies are what dpkg-shlibdeps finds the binaries linked
# against (korvalane-cli is static and adds none); the xcb platform plugin comes with
# libqt6gui6, the Wayland one is only recommended.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvalane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Example Software")
set(CPACK_PACKAGE_CONTACT "Korvalane maintainers <maintainers@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://example.org")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read-only viewer of the raw sectors of volumes and disk images")
# The extended description keeps its line breaks: dpkg shows it as written.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Korvalane shows the raw sectors of a volume, a whole disk or a disk image as"
  "text, as a hex table, or as a file record: a FAT directory cluster listed entry"
  "by entry, or an NTFS MFT record reported. It reports the boot-sector geometry"
  "of a volume and the extents of the MFT, saves the shown lines as text, and"
  "exports a sector range byte for byte into a file. It never writes to a volume."
  ""
  "The package holds the Qt desktop program korvalane and the command-line viewer"
  "korvalane-cli, which prints the same views for scripts.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
