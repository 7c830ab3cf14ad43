# Third-party libraries as imported targets: GTK 2, hidapi, xmlrpc-c (client on curl,
# Abyss server for the stand-ins and tests), zlib, threads.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
pkg_check_modules(GTK2 REQUIRED IMPORTED_TARGET gtk+-2.0 gthread-2.0)
pkg_check_modules(X11 REQUIRED IMPORTED_TARGET x11)
pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)

find_program(XMLRPC_C_CONFIG xmlrpc-c-config REQUIRED)
function(pelmora_xmlrpc_target name feature)
  execute_process(COMMAND ${XMLRPC_C_CONFIG} ${feature} --libs
                  OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${XMLRPC_C_CONFIG} ${feature} --cflags
                  OUTPUT_VARIABLE cflags OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(libs UNIX_COMMAND "${libs}")
  separate_arguments(cflags UNIX_COMMAND "${cflags}")
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${libs} Threads::Threads)
  target_compile_options(${name} INTERFACE ${cflags})
endfunction()
pelmora_xmlrpc_target(pelmora_xmlrpc_client client)
pelmora_xmlrpc_target(pelmora_xmlrpc_server abyss-server)
