# Built-in images drawn at build time: the generator runs on the build machine
# and writes ui_images_data.{h,cpp} into the build tree, which pelmora_ui
# compiles. Included from src/CMakeLists.txt, so that the custom command and
# the library that compiles its output share one directory scope.
#
# The generator is an ordinary host program: the sanitizer, fuzzing and
# coverage flags of the configuration are kept off it (it only runs during the
# build). When cross-compiling, build it once for the build machine
# (cmake -S tools/images -B <dir>) and pass it with
# -DPELMORA_GEN_IMAGES=<dir>/pelmora_gen_images. Its output is the same bytes
# on every run, so ccache hits on the generated source across rebuilds.
set(PELMORA_IMAGES_DIR ${CMAKE_SOURCE_DIR}/tools/images)
set(PELMORA_GEN_IMAGES "" CACHE FILEPATH "A prebuilt image generator for the build machine (cross builds)")
set(PELMORA_IMAGES_OUT ${CMAKE_BINARY_DIR}/generated)

if(PELMORA_GEN_IMAGES)
  set(pelmora_gen_images_cmd ${PELMORA_GEN_IMAGES})
  set(pelmora_gen_images_dep ${PELMORA_GEN_IMAGES})
else()
  if(CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "Cross-compiling: build tools/images for the build machine and pass -DPELMORA_GEN_IMAGES=...")
  endif()
  pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
  add_executable(pelmora_gen_images ${PELMORA_IMAGES_DIR}/gen_images.cpp)
  target_link_libraries(pelmora_gen_images PRIVATE PkgConfig::CAIRO m)
  # Replace the directory's options (sanitizers, fuzzer instrumentation) with
  # the warnings alone; it is never shipped and only has to run.
  set_property(TARGET pelmora_gen_images PROPERTY COMPILE_OPTIONS -Wall -Wextra -Werror)
  set_property(TARGET pelmora_gen_images PROPERTY LINK_OPTIONS "")
  set_property(TARGET pelmora_gen_images PROPERTY RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
  set(pelmora_gen_images_cmd pelmora_gen_images)
  set(pelmora_gen_images_dep pelmora_gen_images)
endif()

file(MAKE_DIRECTORY ${PELMORA_IMAGES_OUT})
add_custom_command(
  OUTPUT ${PELMORA_IMAGES_OUT}/ui_images_data.h ${PELMORA_IMAGES_OUT}/ui_images_data.cpp
  COMMAND ${pelmora_gen_images_cmd} ${PELMORA_IMAGES_OUT}
  DEPENDS ${pelmora_gen_images_dep}
  COMMENT "Drawing the built-in images"
  VERBATIM)
target_sources(pelmora_ui PRIVATE ${PELMORA_IMAGES_OUT}/ui_images_data.h ${PELMORA_IMAGES_OUT}/ui_images_data.cpp)

# The logo of the pixmap directory is kept in share/ (it is installed as is
# and read by tests from the source tree); redraw it after changing the logo.
if(NOT PELMORA_GEN_IMAGES)
  add_custom_target(pelmora_logo_png
    COMMAND pelmora_gen_images ${PELMORA_IMAGES_OUT} ${CMAKE_SOURCE_DIR}/share/PelmoraBoxUI/pixmaps/PelmoraBoxUI.png
    COMMENT "Redrawing share/PelmoraBoxUI/pixmaps/PelmoraBoxUI.png")
endif()
