# The host tools as `cmake --install` and `cpack -G DEB` deliver them:
# bladeimg in bin/; bladesim with the programs it runs inside a board in
# lib/bladeboot/ (it finds them beside itself) and bin/bladesim a link to it;
# a man page per tool, made from its --help by help2man; bash completion.
# Nothing on the real seam is ever installed on a host.
set(tool_dir lib/bladeboot)
install(TARGETS bladeimg RUNTIME DESTINATION bin)
foreach(program bladesim bladesim-enter bladeboot-sim bladeboot-service-sim bladeboot-rx-sim bladeflash)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${tool_dir})
  endif()
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sim/board-bin/ DESTINATION ${tool_dir}/board-bin USE_SOURCE_PERMISSIONS)
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK ../${tool_dir}/bladesim \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/bladesim\" SYMBOLIC)")

set(host_tools bladeimg bladesim)
if(TARGET bladeflash)
  list(APPEND host_tools bladeflash)
  install(CODE "file(CREATE_LINK ../${tool_dir}/bladeflash \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/bladeflash\" SYMBOLIC)")
endif()
foreach(tool ${host_tools})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/bladeboot-tools.bash
          DESTINATION share/bash-completion/completions RENAME ${tool})
endforeach()

find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(pages)
  foreach(tool ${host_tools})
    set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1 --source bladeboot
              --name "bladeboot host tool" --output ${page} $<TARGET_FILE:${tool}>
      DEPENDS ${tool} VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION share/man/man1)
else()
  message(STATUS "help2man not found: no man pages (scripts/deps installs it)")
endif()

set(CPACK_PACKAGE_NAME bladeboot-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "bladeboot team <bladeboot@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bladeboot host tools: image builder, simulated blade, serial updater")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# bladesim runs a board in bubblewrap with busybox's applets.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bubblewrap, busybox")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
include(CPack)
