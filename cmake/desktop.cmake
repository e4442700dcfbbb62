# Installation, the desktop's menu entry, icon, project file type and manual
# pages, `make uninstall` from the install manifest, and the Debian package.
# Included from the top-level CMakeLists.txt after the programs are defined.
include(GNUInstallDirs)

set(KELVRA_APP_ID io.github.zarnel.Kelvra)
set(KELVRA_DATA ${CMAKE_SOURCE_DIR}/data)
set(KELVRA_DATA_OUT ${CMAKE_BINARY_DIR}/data)
set(KELVRA_MAINTAINER "Zarnel Kelvra maintainers <maintainers@users.noreply.c-seed-60201e30.example>")

find_program(KELVRA_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(KELVRA_GZIP gzip REQUIRED)

install(TARGETS kelvra kelvra-render RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# ------------------------------------------------------------ menu entry, type
install(FILES ${KELVRA_DATA}/${KELVRA_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KELVRA_DATA}/${KELVRA_APP_ID}.mime.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
  RENAME ${KELVRA_APP_ID}.xml)
configure_file(${KELVRA_DATA}/${KELVRA_APP_ID}.metainfo.xml.in ${KELVRA_DATA_OUT}/${KELVRA_APP_ID}.metainfo.xml @ONLY)
install(FILES ${KELVRA_DATA_OUT}/${KELVRA_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# ------------------------------------------------------------------- icons
# The hand-drawn SVG, and PNGs rendered from it at the usual sizes.
set(KELVRA_ICON_SIZES 16 22 24 32 48 64 128 256 512)
set(KELVRA_DATA_FILES)
foreach(size ${KELVRA_ICON_SIZES})
  set(folder ${KELVRA_DATA_OUT}/icons/${size}x${size})
  set(png ${folder}/${KELVRA_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${KELVRA_RSVG_CONVERT} --width ${size} --height ${size} --output ${png} ${KELVRA_DATA}/${KELVRA_APP_ID}.svg
    DEPENDS ${KELVRA_DATA}/${KELVRA_APP_ID}.svg
    COMMENT "Rendering the ${size} px icon" VERBATIM)
  list(APPEND KELVRA_DATA_FILES ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${KELVRA_DATA}/${KELVRA_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# ------------------------------------------------------ manuals, documents
# Compressed as Debian wants them: the most, without a time stamp.
foreach(page kelvra.1 kelvra-render.1)
  configure_file(${KELVRA_DATA}/${page} ${KELVRA_DATA_OUT}/${page} @ONLY)
  add_custom_command(OUTPUT ${KELVRA_DATA_OUT}/${page}.gz
    COMMAND ${KELVRA_GZIP} -9nkf ${KELVRA_DATA_OUT}/${page}
    DEPENDS ${KELVRA_DATA_OUT}/${page}
    COMMENT "Compressing ${page}" VERBATIM)
  list(APPEND KELVRA_DATA_FILES ${KELVRA_DATA_OUT}/${page}.gz)
  install(FILES ${KELVRA_DATA_OUT}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${KELVRA_DATA}/changelog.in ${KELVRA_DATA_OUT}/changelog @ONLY)
add_custom_command(OUTPUT ${KELVRA_DATA_OUT}/changelog.gz
  COMMAND ${KELVRA_GZIP} -9nkf ${KELVRA_DATA_OUT}/changelog
  DEPENDS ${KELVRA_DATA_OUT}/changelog VERBATIM)
list(APPEND KELVRA_DATA_FILES ${KELVRA_DATA_OUT}/changelog.gz)
install(FILES ${KELVRA_DATA}/copyright ${KELVRA_DATA_OUT}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
add_custom_target(kelvra_data ALL DEPENDS ${KELVRA_DATA_FILES})

# --------------------------------------------------------------- uninstall
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DKELVRA_MANIFEST=${CMAKE_BINARY_DIR}/install_manifest.txt
    -P ${CMAKE_SOURCE_DIR}/cmake/uninstall.cmake
  COMMENT "Removing the files of the last install" VERBATIM)

# ----------------------------------------------------------------- package
# `cpack -G DEB` in the build folder: the dependencies are the packages of the
# shared libraries the programs link, found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvra)
set(CPACK_PACKAGE_VENDOR "Zarnel Kelvra")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KELVRA_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video editor for short videos with their own music")
set(CPACK_PACKAGE_DESCRIPTION "Zarnel Kelvra is a single-window desktop tool for making short videos with
their own music: a media library, a sampler that marks ranges of sources, a
four-lane timeline with gain, fades, loops and picture-in-picture insets, text
titles, a piano-roll composer with built-in synthesized instruments, live
preview, background export to MP4 and WAV at a loudness target, and
publishing to the video and audio services.
.
kelvra-render renders projects without a window.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVRA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Helpers started at run time when present: the file dialogs, opening pages and
# folders, and the user's videos folder.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity | kdialog, xdg-utils, xdg-user-dirs")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libglib2.0-bin")
include(CPack)

# ------------------------------------------------------------------- tests
if(KELVRA_TESTS)
  add_test(NAME Desktop.FilesPassTheirValidators
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/desktop/check_files.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
  add_test(NAME Desktop.InstallsAndUninstallsTheTree
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/desktop/install_tree.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
  set_tests_properties(Desktop.FilesPassTheirValidators Desktop.InstallsAndUninstallsTheTree
    PROPERTIES LABELS desktop TIMEOUT 300)
endif()
