# The packaged web UI, the desktop entry and the application icon: installed beside the program,
# and the web UI also placed next to the built binary so that it runs from the build folder.
include(GNUInstallDirs)

set(VELMORA_APP_UI_DIR "${PROJECT_SOURCE_DIR}/app-ui")
set(VELMORA_APP_UI_INSTALL_DIR "${CMAKE_INSTALL_DATADIR}/velmora-classroom/app-ui")

install(DIRECTORY ${VELMORA_APP_UI_DIR}/ DESTINATION ${VELMORA_APP_UI_INSTALL_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/com.velmora.Classroom.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/com.velmora.Classroom.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

if(TARGET velmora-classroom)
  # A link rather than a copy, so edits to the page show up on the next start without a rebuild.
  add_custom_target(velmora-app-ui-link
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${VELMORA_APP_UI_DIR} $<TARGET_FILE_DIR:velmora-classroom>/app-ui
    COMMENT "Linking app-ui next to velmora-classroom")
  add_dependencies(velmora-classroom velmora-app-ui-link)
endif()
