# The fixed paths of a unit, compiled into the programs and used by the
# install rules and the systemd units. The defaults are the /usr/local layout
# of a unit installed from source; a distribution package sets its own.
# Under test every one of them is still resolved below $TESSAL_ROOT where the
# program reads it through its path seam.

set(TESSAL_VIEW_INI "/usr/local/etc/tessal-view.ini"
    CACHE FILEPATH "tessalview's settings file")
set(TESSAL_MODBUS_MAP "/usr/local/etc/modbus.map"
    CACHE FILEPATH "Default Modbus map of the kiosk (ini: ModbusServer/ModbusMap)")
set(TESSAL_TUPWATCH_INI "/usr/local/etc/tupwatch.ini"
    CACHE FILEPATH "tupwatch's default settings file")
set(TESSAL_SCRIPT_DIR "/usr/local/bin"
    CACHE PATH "Directory of the unit's system scripts (ini: Files/ScriptDir)")
set(TESSAL_IMAGE_DIR "/usr/local/share"
    CACHE PATH "Directory of the error and front-connection pictures (ini: UI/ErrorImagePath)")
# What the kiosk writes while it runs goes below its runtime directory,
# /run/tessalview: owner-only, never a shared directory such as /tmp that
# another local user could create first. A tree configured while these
# defaults were still below /tmp keeps them in its cache: those two old
# values move along.
set(_tmpcfg_help "Where the kiosk writes the files it generates (ini: Files/TmpCfgDir)")
set(_webcache_help "Held for compatibility: page storage stays in memory (ini: WebCache/Path)")
set(TESSAL_TMPCFG_DIR "/run/tessalview/etc" CACHE PATH "${_tmpcfg_help}")
set(TESSAL_WEBCACHE_DIR "/run/tessalview/web" CACHE PATH "${_webcache_help}")
if(TESSAL_TMPCFG_DIR STREQUAL "/tmp/etc")
  set(TESSAL_TMPCFG_DIR "/run/tessalview/etc" CACHE PATH "${_tmpcfg_help}" FORCE)
endif()
if(TESSAL_WEBCACHE_DIR STREQUAL "/tmp/tessal-view-cache")
  set(TESSAL_WEBCACHE_DIR "/run/tessalview/web" CACHE PATH "${_webcache_help}" FORCE)
endif()
set(TESSAL_SYSTEMD_UNITDIR "lib/systemd/system"
    CACHE PATH "Where the systemd units are installed (relative: below the prefix)")
set(TESSAL_UDEV_RULESDIR "lib/udev/rules.d"
    CACHE PATH "Where the udev rules are installed (relative: below the prefix)")
# A source install must never overwrite a unit's own settings, so by default
# an existing ini or map is kept and the sample goes beside it as *.sample.
# A package leaves that job to its package manager and installs them plainly.
option(TESSAL_KEEP_SITE_CONFIG "Keep an existing ini/map at install time, add *.sample" ON)

foreach(_var TESSAL_VIEW_INI TESSAL_MODBUS_MAP TESSAL_TUPWATCH_INI TESSAL_SCRIPT_DIR
             TESSAL_IMAGE_DIR TESSAL_TMPCFG_DIR TESSAL_WEBCACHE_DIR)
  if(NOT IS_ABSOLUTE "${${_var}}")
    message(FATAL_ERROR "${_var} must be an absolute path, not '${${_var}}'")
  endif()
endforeach()

# tessal_install_destination(<absolute dir> <out var>): the install
# destination of a fixed directory: relative to the prefix when it lies below
# it (so `cmake --install --prefix` still moves everything), else absolute
# (/etc for a /usr prefix), and DESTDIR applies either way.
function(tessal_install_destination dir out)
  string(REGEX REPLACE "/+$" "" _prefix "${CMAKE_INSTALL_PREFIX}")
  string(LENGTH "${_prefix}/" _len)
  string(SUBSTRING "${dir}/" 0 ${_len} _head)
  if(_head STREQUAL "${_prefix}/")
    string(SUBSTRING "${dir}" ${_len} -1 _rel)
    if(_rel STREQUAL "")
      set(_rel ".")
    endif()
    set(${out} "${_rel}" PARENT_SCOPE)
  else()
    set(${out} "${dir}" PARENT_SCOPE)
  endif()
endfunction()

# tessal_install_config(<source file> <installed path>): installs a sample
# configuration file under the name the programs read. With
# TESSAL_KEEP_SITE_CONFIG an existing file is kept and the sample is written
# beside it as <name>.sample.
function(tessal_install_config source target)
  get_filename_component(_dir "${target}" DIRECTORY)
  get_filename_component(_name "${target}" NAME)
  tessal_install_destination("${_dir}" _dest)
  if(NOT TESSAL_KEEP_SITE_CONFIG)
    install(FILES "${source}" DESTINATION "${_dest}" RENAME "${_name}")
    return()
  endif()
  install(CODE "
    set(_dest \"${_dest}\")
    if(NOT IS_ABSOLUTE \"\${_dest}\")
      set(_dest \"\${CMAKE_INSTALL_PREFIX}/\${_dest}\")
    endif()
    set(_etc \"\$ENV{DESTDIR}\${_dest}\")
    set(_name \"${_name}\")
    if(EXISTS \"\${_etc}/${_name}\")
      set(_name \"${_name}.sample\")
      message(STATUS \"Keeping: \${_etc}/${_name}\")
    endif()
    message(STATUS \"Installing: \${_etc}/\${_name}\")
    file(MAKE_DIRECTORY \"\${_etc}\")
    file(COPY_FILE \"${source}\" \"\${_etc}/\${_name}\")
  ")
endfunction()

# The generated header that hands the paths to the C++ code.
configure_file(${CMAKE_CURRENT_LIST_DIR}/tessalpaths.h.in
               ${PROJECT_BINARY_DIR}/generated/tessalpaths.h @ONLY)
add_library(tessal_paths INTERFACE)
target_include_directories(tessal_paths INTERFACE ${PROJECT_BINARY_DIR}/generated)

# tessal_configure_sample(<name>): deploy/etc/<name> as installed, in the
# build tree at deploy/etc/<name>: the paths it names (in comments and
# values) are the ones this tree was configured with. With the default paths
# the result is the file itself.
function(tessal_configure_sample name)
  set(_src "${PROJECT_SOURCE_DIR}/deploy/etc/${name}")
  file(READ "${_src}" _text)
  foreach(_pair
          "/usr/local/etc/tessal-view.ini|${TESSAL_VIEW_INI}"
          "/usr/local/etc/modbus.map|${TESSAL_MODBUS_MAP}"
          "/usr/local/etc/tupwatch.ini|${TESSAL_TUPWATCH_INI}"
          "ScriptDir=/usr/local/bin|ScriptDir=${TESSAL_SCRIPT_DIR}"
          "TmpCfgDir=/run/tessalview/etc|TmpCfgDir=${TESSAL_TMPCFG_DIR}"
          "ErrorImagePath=/usr/local/share|ErrorImagePath=${TESSAL_IMAGE_DIR}"
          "Path=/run/tessalview/web|Path=${TESSAL_WEBCACHE_DIR}")
    string(REPLACE "|" ";" _pair "${_pair}")
    list(GET _pair 0 _from)
    list(GET _pair 1 _to)
    string(REPLACE "${_from}" "${_to}" _text "${_text}")
  endforeach()
  set(_out "${PROJECT_BINARY_DIR}/deploy/etc/${name}")
  if(EXISTS "${_out}")
    file(READ "${_out}" _old)
  endif()
  if(NOT _old STREQUAL _text)
    file(WRITE "${_out}" "${_text}")
  endif()
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_src}")
endfunction()

# tessal_install_unit(<name>): deploy/systemd/<name>.in with the configured
# paths filled in, installed to TESSAL_SYSTEMD_UNITDIR.
function(tessal_install_unit name)
  include(GNUInstallDirs)
  configure_file(${PROJECT_SOURCE_DIR}/deploy/systemd/${name}.in
                 ${PROJECT_BINARY_DIR}/deploy/systemd/${name} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/deploy/systemd/${name}
          DESTINATION ${TESSAL_SYSTEMD_UNITDIR})
endfunction()
