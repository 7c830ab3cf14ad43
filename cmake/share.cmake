# Runtime files beside bin/: pixmaps, compiled message catalogues and the
# zone files, copied from the system's tzdata. The same tree is installed.
set(PELMORA_TZDATA_DIR /usr/share/zoneinfo CACHE PATH "System zone files copied into share/zoneinfo")

file(MAKE_DIRECTORY ${PELMORA_SHARE_BUILD_DIR}/PelmoraBoxUI/pixmaps ${PELMORA_SHARE_BUILD_DIR}/locale)
add_custom_target(pelmora_share ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/share ${PELMORA_SHARE_BUILD_DIR}
  COMMENT "Laying out share/ in the build tree")
if(EXISTS ${PELMORA_TZDATA_DIR})
  add_custom_command(OUTPUT ${PELMORA_SHARE_BUILD_DIR}/zoneinfo/.stamp
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PELMORA_TZDATA_DIR} ${PELMORA_SHARE_BUILD_DIR}/zoneinfo
    COMMAND ${CMAKE_COMMAND} -E touch ${PELMORA_SHARE_BUILD_DIR}/zoneinfo/.stamp
    COMMENT "Copying zone files from ${PELMORA_TZDATA_DIR}")
  add_custom_target(pelmora_zoneinfo ALL DEPENDS ${PELMORA_SHARE_BUILD_DIR}/zoneinfo/.stamp)
  install(DIRECTORY ${PELMORA_TZDATA_DIR}/ DESTINATION share/zoneinfo USE_SOURCE_PERMISSIONS)
else()
  message(WARNING "No zone files at ${PELMORA_TZDATA_DIR}: share/zoneinfo stays empty")
endif()

# Message catalogues are compiled into locale/ by po/CMakeLists.txt.

install(DIRECTORY ${CMAKE_SOURCE_DIR}/share/ DESTINATION share)
install(DIRECTORY ${PELMORA_SHARE_BUILD_DIR}/locale/ DESTINATION share/locale)
