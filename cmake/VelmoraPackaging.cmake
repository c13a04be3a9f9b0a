# The packaged web UI, the desktop entry, the application icons, the AppStream metainfo and the
# manual page: installed beside the program, and the web UI also placed next to the built binary so
# that it runs from the build folder.
include(GNUInstallDirs)

set(VELMORA_APP_UI_DIR "${PROJECT_SOURCE_DIR}/app-ui")
set(VELMORA_APP_UI_INSTALL_DIR "${CMAKE_INSTALL_DATADIR}/velmora-classroom/app-ui")

install(DIRECTORY ${VELMORA_APP_UI_DIR}/ DESTINATION ${VELMORA_APP_UI_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/com.velmora.Classroom.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/com.velmora.Classroom.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/com.velmora.Classroom.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/velmora-classroom.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Menus and software centres that cannot draw SVG use the PNG renderings. Builds without
# rsvg-convert (librsvg2-bin) install the scalable icon only; the Debian package always has them.
find_program(VELMORA_RSVG_CONVERT rsvg-convert)
if(VELMORA_RSVG_CONVERT)
  set(icon_pngs)
  foreach(size 128 256)
    set(png ${PROJECT_BINARY_DIR}/icons/${size}x${size}/com.velmora.Classroom.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}x${size}
      COMMAND ${VELMORA_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${PROJECT_SOURCE_DIR}/packaging/com.velmora.Classroom.svg
      DEPENDS ${PROJECT_SOURCE_DIR}/packaging/com.velmora.Classroom.svg
      COMMENT "Rendering the ${size} px application icon")
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    list(APPEND icon_pngs ${png})
  endforeach()
  add_custom_target(velmora-icon-pngs ALL DEPENDS ${icon_pngs})
else()
  message(STATUS "rsvg-convert not found: the PNG application icons are not installed")
endif()

if(TARGET velmora-classroom)
  # A link rather than a copy, so edits to the page show up on the next start without a rebuild.
  add_custom_target(velmora-app-ui-link
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VELMORA_APP_UI_DIR} $<TARGET_FILE_DIR:velmora-classroom>/app-ui
    COMMENT "Linking app-ui next to velmora-classroom")
  add_dependencies(velmora-classroom velmora-app-ui-link)
endif()
