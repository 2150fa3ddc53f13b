# What gets installed, and the packages made from it (cpack, run by ./dev package): on Linux a
# .deb from the release build, on Windows a zip from the windows-release build.
if(NOT IAPFLASH_PACKAGE)
  return()
endif()

set(CPACK_PACKAGE_NAME iapflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the iapflash developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "finds IAP download devices and downloads firmware update files into them")
set(CPACK_STRIP_FILES ON)
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)

if(WIN32)
  # The folder as it is unzipped: both programs, a sample update file, the README for Windows
  # users and the first steps as text files with Windows line ends, and the documents README.txt
  # names.
  install(TARGETS iapflash iapflash-gui RUNTIME DESTINATION .)
  include(${packaging}/windows/WindowsReadme.cmake)
  iapflash_windows_readme(${packaging}/windows/README.txt ${PROJECT_SOURCE_DIR}/README.md
                          ${staged}/README.txt)
  configure_file(${packaging}/windows/FIRST-STEPS.txt ${staged}/FIRST-STEPS.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${staged}/README.txt ${staged}/FIRST-STEPS.txt
                ${PROJECT_SOURCE_DIR}/samples/demo_app.bin DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/window-windows.png
                ${PROJECT_SOURCE_DIR}/docs/json-events.md
                ${PROJECT_SOURCE_DIR}/docs/json-events.schema.json DESTINATION docs)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME iapflash-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

include(GNUInstallDirs)
set(IAPFLASH_MAINTAINER "iapflash developers <iapflash@example.org>"
    CACHE STRING "The Maintainer of the Debian package")
set(doc ${CMAKE_INSTALL_DOCDIR})

install(TARGETS iapflash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET iapflash-gui)
  install(TARGETS iapflash-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages, made by help2man from the programs' own --help and --version, gzipped for Debian.
find_program(HELP2MAN help2man REQUIRED)
set(pages)
function(iapflash_manual_page program name include)
  set(page ${staged}/${program}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env IAPFLASH_PROGRAM=$<TARGET_FILE:${program}> ${HELP2MAN}
            --locale=C.UTF-8 --no-info --section=1 --name=${name} --include=${include} --output=${page}
            ${packaging}/help-all.sh
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${include} ${packaging}/help-all.sh
    VERBATIM)
  set(pages ${pages} ${page}.gz PARENT_SCOPE)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
iapflash_manual_page(iapflash "find IAP download devices and download firmware into them"
                     ${packaging}/iapflash.h2m)
if(TARGET iapflash-gui)
  iapflash_manual_page(iapflash-gui "the operator's window for firmware downloads"
                       ${packaging}/iapflash-gui.h2m)
endif()

# The icon: the drawing, and PNGs of it for the sizes desktops ask for.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(icons)
set(hicolor ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
foreach(size 16 22 24 32 48 64 128 256)
  set(png ${staged}/icons/${size}/iapflash.png)
  add_custom_command(
    OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${staged}/icons/${size}
    COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${packaging}/icons/iapflash.svg
    DEPENDS ${packaging}/icons/iapflash.svg
    VERBATIM)
  list(APPEND icons ${png})
  install(FILES ${png} DESTINATION ${hicolor}/${size}x${size}/apps)
endforeach()
install(FILES ${packaging}/icons/iapflash.svg DESTINATION ${hicolor}/scalable/apps)

# Debian wants the changelog and copyright in the documentation folder, the changelog gzipped.
string(TIMESTAMP IAPFLASH_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${packaging}/debian/changelog.in ${staged}/changelog @ONLY)
add_custom_command(
  OUTPUT ${staged}/changelog.gz
  COMMAND sh -c "gzip -9nc changelog > changelog.gz"
  WORKING_DIRECTORY ${staged}
  DEPENDS ${staged}/changelog
  VERBATIM)
add_custom_target(iapflash_package_files ALL DEPENDS ${pages} ${icons} ${staged}/changelog.gz)

install(FILES ${packaging}/60-iapflash.rules DESTINATION lib/udev/rules.d)
install(FILES ${packaging}/iapflash.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging}/bash-completion/iapflash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${packaging}/bash-completion/iapflash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME iapflash-gui)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${packaging}/debian/copyright
              ${staged}/changelog.gz DESTINATION ${doc})
install(FILES ${PROJECT_SOURCE_DIR}/docs/window-linux.png DESTINATION ${doc}/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${IAPFLASH_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its platform plugin (xcb, wayland) at run time: dpkg-shlibdeps cannot see it.
if(TARGET iapflash-gui)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
endif()
# The summary above is the first line; this is the long description under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "iapflash finds the attached download devices, switches a running application
into its IAP boot program and downloads a firmware update file over a serial
port, reporting every step. It has an operator's window (iapflash-gui), a
command line for scripts and test stations (iapflash), and a simulated
device for trying it without hardware (--simulate).")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${packaging}/debian/postinst ${packaging}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
