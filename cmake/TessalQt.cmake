# The kiosk's Qt: TESSAL_QT is 5 (Qt 5.15) or 6 (Qt 6.4 or later). Not given,
# it follows the system: Qt 6 where Qt 6's WebEngine is installed and the
# engine is QtWebEngine, Qt 5 otherwise. The choice is kept in the cache, so
# a build directory stays on the Qt it was first configured with. QtWebKit
# exists for Qt 5 only. Every kiosk target links Qt by its versionless name
# (Qt::Core, Qt::Widgets); what differs between the versions lives in a few
# files chosen by the version (see TESSAL_QT_SOURCES in the folders).
if(NOT TESSAL_WEB_ENGINE MATCHES "^(webengine|webkit)$")
  message(FATAL_ERROR "TESSAL_WEB_ENGINE must be webengine or webkit, not '${TESSAL_WEB_ENGINE}'")
endif()
set(TESSAL_QT "" CACHE STRING "The kiosk's Qt: 5 or 6 (empty: 6 where Qt 6 WebEngine is installed)")
set_property(CACHE TESSAL_QT PROPERTY STRINGS "" 5 6)
if(TESSAL_QT STREQUAL "")
  set(_tessal_qt 5)
  if(TESSAL_WEB_ENGINE STREQUAL "webengine")
    find_package(Qt6 6.4 QUIET COMPONENTS WebEngineWidgets)
    if(Qt6WebEngineWidgets_FOUND)
      set(_tessal_qt 6)
    endif()
  endif()
  set(TESSAL_QT ${_tessal_qt} CACHE STRING
      "The kiosk's Qt: 5 or 6 (empty: 6 where Qt 6 WebEngine is installed)" FORCE)
endif()
if(NOT TESSAL_QT MATCHES "^[56]$")
  message(FATAL_ERROR "TESSAL_QT must be 5 or 6, not '${TESSAL_QT}'")
endif()
if(TESSAL_QT EQUAL 6 AND TESSAL_WEB_ENGINE STREQUAL "webkit")
  message(FATAL_ERROR "TESSAL_WEB_ENGINE=webkit needs TESSAL_QT=5: QtWebKit exists for Qt 5 only")
endif()

set(_tessal_qt_components Core Gui Widgets Network Test Qml Quick QuickWidgets)
if(TESSAL_QT EQUAL 5)
  find_package(Qt5 5.15 QUIET COMPONENTS ${_tessal_qt_components})
  if(NOT Qt5Widgets_FOUND OR NOT Qt5Test_FOUND)
    message(FATAL_ERROR "TESSAL_QT=5 needs the package qtbase5-dev")
  endif()
  if(NOT Qt5QuickWidgets_FOUND)
    message(FATAL_ERROR "TESSAL_QT=5 needs the package qtdeclarative5-dev")
  endif()
else()
  find_package(Qt6 6.4 QUIET COMPONENTS ${_tessal_qt_components})
  if(NOT Qt6Widgets_FOUND OR NOT Qt6Test_FOUND)
    message(FATAL_ERROR "TESSAL_QT=6 needs the package qt6-base-dev")
  endif()
  if(NOT Qt6QuickWidgets_FOUND)
    message(FATAL_ERROR "TESSAL_QT=6 needs the package qt6-declarative-dev")
  endif()
  # The turned screen's touches need QtGui's private QMutableEventPoint.
  if(NOT TARGET Qt6::GuiPrivate OR NOT EXISTS
     "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_HEADERS}/QtGui/${Qt6Gui_VERSION}/QtGui/private/qeventpoint_p.h")
    message(FATAL_ERROR "TESSAL_QT=6 needs the package qt6-base-private-dev")
  endif()
endif()
message(STATUS "Kiosk Qt: ${TESSAL_QT} (${Qt${TESSAL_QT}Core_VERSION})")
