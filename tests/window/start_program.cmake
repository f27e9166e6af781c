# Starts the built program as a user would to get the window, in the environment
# named by CASE, and checks what it says, how it ends, and that it leaves its
# home as empty as it found it.
set(message "No display is available for the Lanemark window. Use --inspect PATH or --apply-preset PATH on the command line.\n")
set(home ${CMAKE_CURRENT_BINARY_DIR}/start-home-${CASE})
file(REMOVE_RECURSE ${home})
file(MAKE_DIRECTORY ${home})
set(headless env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u XDG_DATA_HOME
             -u XDG_STATE_HOME HOME=${home})

if(CASE STREQUAL "no_display")
  # Nothing names a display: refused before Qt is asked.
  set(command ${headless} ${PROGRAM})
  set(expected_status 1)
  set(expected_err "${message}")
elseif(CASE STREQUAL "missing_platform")
  # A display is named, but the platform Qt is told to use cannot start.
  set(command ${headless} QT_QPA_PLATFORM=lanemark-no-such-platform ${PROGRAM})
  set(expected_status 1)
  set(expected_err "${message}")
elseif(CASE STREQUAL "quiet")
  # A window that runs until stopped, writing nothing while it runs.
  set(command ${headless} QT_QPA_PLATFORM=offscreen timeout 3 ${PROGRAM})
  set(expected_status 124)
  set(expected_err "")
elseif(CASE STREQUAL "qt_options")
  # Qt's own options are not the toolkit's to obey: the window starts as without them.
  set(command ${headless} QT_QPA_PLATFORM=offscreen timeout 3 ${PROGRAM} take.mov -platform lanemark-no-such-platform)
  set(expected_status 124)
  set(expected_err "")
elseif(CASE MATCHES "^unknown_option")
  # A mistyped option opens no window, whether or not one could show.
  set(command ${headless} timeout 3 ${PROGRAM} --inpsect take.mov)
  if(CASE STREQUAL "unknown_option_display")
    set(command ${headless} QT_QPA_PLATFORM=offscreen timeout 3 ${PROGRAM} --inpsect take.mov)
  endif()
  set(expected_status 2)
  set(expected_err "Unknown option \"--inpsect\". Run lanemark --help to see the options.\n")
elseif(CASE STREQUAL "no_module")
  # The program copied away from its window module.
  set(alone ${CMAKE_CURRENT_BINARY_DIR}/start-no-module)
  file(REMOVE_RECURSE ${alone})
  file(MAKE_DIRECTORY ${alone}/bin)
  file(COPY ${PROGRAM} DESTINATION ${alone}/bin)
  get_filename_component(name ${PROGRAM} NAME)
  set(command ${headless} QT_QPA_PLATFORM=offscreen ${alone}/bin/${name})
  set(expected_status 1)
  cmake_path(ABSOLUTE_PATH MODULE_DIR BASE_DIRECTORY ${alone}/bin NORMALIZE OUTPUT_VARIABLE installed)
  set(expected_err "The Lanemark window cannot be loaded: lanemark-window.so is neither beside the program nor in ${installed}.\n")
else()
  message(FATAL_ERROR "unknown case '${CASE}'")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB left LIST_DIRECTORIES true ${home}/*)
if(NOT status EQUAL expected_status OR NOT out STREQUAL "" OR NOT err STREQUAL expected_err OR left)
  message(FATAL_ERROR "case ${CASE}: status ${status} (wanted ${expected_status}), output '${out}', errors '${err}', "
                      "left in the home: '${left}'")
endif()
file(REMOVE_RECURSE ${home})
