# Install rules and the Debian package: the program under bin/, its data
# (help, engine profiles, images) under share/larkvale_hd/ where
# platform/datadir.cpp looks for it, and the desktop integration: desktop
# entry, AppStream metainfo and the icon in the hicolor theme.
include(GNUInstallDirs)

set(LARKVALE_DESKTOP_ID example.larkvale.Larkvale_HD)
set(LARKVALE_DESKTOP_DIR ${CMAKE_SOURCE_DIR}/app/desktop)

install(TARGETS Larkvale_HD RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The command line and its bash completion; a component of their own, so
# that they can be installed alone (`cmake --install build --component cli`).
if(TARGET larkvale)
  install(TARGETS larkvale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
  install(FILES ${CMAKE_SOURCE_DIR}/cli/larkvale.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME larkvale COMPONENT cli)
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/ DESTINATION ${CMAKE_INSTALL_DATADIR}/larkvale_hd
        PATTERN CMakeLists.txt EXCLUDE)
install(FILES ${LARKVALE_DESKTOP_DIR}/${LARKVALE_DESKTOP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${LARKVALE_DESKTOP_DIR}/${LARKVALE_DESKTOP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The icon: the SVG as drawn, and PNGs rendered from it for the desktops and
# docks that want bitmaps at fixed sizes.
set(icon_svg ${CMAKE_SOURCE_DIR}/app/icons/app.svg)
install(FILES ${icon_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${LARKVALE_DESKTOP_ID}.svg)
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
set(icon_pngs)
foreach(size 16 24 32 48 64 128 256)
  set(png ${CMAKE_BINARY_DIR}/icons/${size}x${size}/${LARKVALE_DESKTOP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --output ${png} ${icon_svg}
    DEPENDS ${icon_svg}
    VERBATIM)
  list(APPEND icon_pngs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
add_custom_target(larkvale_icons ALL DEPENDS ${icon_pngs})

# `make package`: a .deb whose dependencies dpkg-shlibdeps derives from the
# libraries the program links (Qt's platform, image-format and multimedia
# plugins ship in those same library packages on Debian 12).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larkvale-hd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Larkvale)
set(CPACK_PACKAGE_CONTACT "Larkvale <dev@larkvale.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Download videos from watch pages and convert them")
set(CPACK_PACKAGE_DESCRIPTION
    "Browse a video site or paste a watch-page address, download the video behind it and convert it into one of 19 formats.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://larkvale.example/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
