# Installs the udev component of BUILD_DIR under PREFIX and checks that the
# rule is there and grants the seat's user (and plugdev) the vest's hidraw
# nodes.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(
  COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}" --component udev
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install of the udev component failed: ${result}")
endif()
set(rule "${PREFIX}/lib/udev/rules.d/70-vibrenza.rules")
if(NOT EXISTS "${rule}")
  message(FATAL_ERROR "not installed: ${rule}")
endif()
file(STRINGS "${rule}" lines REGEX "^[^#]")
foreach(wanted [[SUBSYSTEM=="hidraw"]] [[ATTRS{idVendor}=="34a8"]] [[TAG+="uaccess"]]
    [[GROUP="plugdev"]] [[MODE="0660"]])
  string(FIND "${lines}" "${wanted}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${rule} does not say ${wanted}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
