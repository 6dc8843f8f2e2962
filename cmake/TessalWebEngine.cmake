# Finds the web engine chosen by TESSAL_WEB_ENGINE (webengine or webkit) and
# stops the configuration with one line naming the Debian package when its
# development files are missing. Found through Qt5_DIR (Qt6_DIR) like the
# rest of Qt, so a cross build finds the target's engine. TESSAL_QT is
# settled before (cmake/TessalQt.cmake).
if(TESSAL_WEB_ENGINE STREQUAL "webengine" AND TESSAL_QT EQUAL 6)
  find_package(Qt6 6.4 QUIET COMPONENTS WebEngineCore WebEngineWidgets)
  if(NOT Qt6WebEngineWidgets_FOUND)
    message(FATAL_ERROR "TESSAL_WEB_ENGINE=webengine with TESSAL_QT=6 needs the package "
                        "qt6-webengine-dev")
  endif()
elseif(TESSAL_WEB_ENGINE STREQUAL "webengine")
  find_package(Qt5 5.15 QUIET COMPONENTS WebEngineCore WebEngineWidgets)
  if(NOT Qt5WebEngineWidgets_FOUND)
    message(FATAL_ERROR "TESSAL_WEB_ENGINE=webengine needs the package qtwebengine5-dev")
  endif()
elseif(TESSAL_WEB_ENGINE STREQUAL "webkit")
  find_package(Qt5 5.15 QUIET COMPONENTS WebKit WebKitWidgets)
  if(NOT Qt5WebKitWidgets_FOUND)
    message(FATAL_ERROR "TESSAL_WEB_ENGINE=webkit needs the package libqt5webkit5-dev")
  endif()
else()
  message(FATAL_ERROR "TESSAL_WEB_ENGINE must be webengine or webkit, not '${TESSAL_WEB_ENGINE}'")
endif()
message(STATUS "Kiosk web engine: ${TESSAL_WEB_ENGINE}")
# The service's memory limit: QtWebEngine runs several processes (the
# browser, a zygote, a render process) where QtWebKit runs one.
if(TESSAL_WEB_ENGINE STREQUAL "webengine")
  set(TESSAL_KIOSK_MEMORY_MAX "800M")
else()
  set(TESSAL_KIOSK_MEMORY_MAX "400M")
endif()
