# The service host's pieces, shared by the headless programs: single-instance
# lock, descriptor limit, signal loop, service-manager notices, event log.
set(service_srcs
  ${CMAKE_CURRENT_LIST_DIR}/instance_lock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/instance_lock_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/descriptor_limit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signal_loop.cpp
  ${CMAKE_CURRENT_LIST_DIR}/notify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/event_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/system_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_install.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_setup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metrics_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metrics_endpoint.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nts_ke_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/control_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/control_status.cpp
  ${CMAKE_CURRENT_LIST_DIR}/control_request.cpp)
if(WIN32)
  # The service control manager's side: requests and status shared by the twins.
  list(APPEND service_srcs ${CMAKE_CURRENT_LIST_DIR}/service_control_win.cpp)
  # The event source registered at -install.
  list(APPEND service_srcs ${CMAKE_CURRENT_LIST_DIR}/event_source_win.cpp)
  # The event log's message table, linked into the service programs (apps/)
  # as an object library: a static library's resource object would never be linked.
  enable_language(RC)
  find_program(MDL_WINDMC NAMES ${MDL_MINGW_PREFIX}-windmc windmc REQUIRED)
  set(mc_out ${CMAKE_CURRENT_BINARY_DIR}/event_messages)
  add_custom_command(OUTPUT ${mc_out}/event_messages.rc ${mc_out}/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${mc_out}
    COMMAND ${MDL_WINDMC} -r ${mc_out} -h ${mc_out} ${CMAKE_CURRENT_LIST_DIR}/event_messages.mc
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/event_messages.mc VERBATIM)
  set_source_files_properties(${mc_out}/event_messages.rc PROPERTIES OBJECT_DEPENDS ${mc_out}/MSG00409.bin)
  add_library(mdl_event_messages OBJECT ${mc_out}/event_messages.rc)
  target_include_directories(mdl_event_messages PRIVATE ${mc_out})
endif()
mdl_platform_sources(service_srcs)
add_library(mdl_hosting STATIC ${service_srcs})
target_include_directories(mdl_hosting PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(mdl_hosting PUBLIC mdl_files mdl_clock Threads::Threads)
# The metrics endpoint holds its port as the services do.
target_link_libraries(mdl_hosting PUBLIC mdl_net)
# The NTS key establishment server.
target_link_libraries(mdl_hosting PUBLIC mdl_nts)
if(WIN32)
  target_link_libraries(mdl_hosting PUBLIC advapi32)
endif()
# Named in the install-failure texts, the manual pages and the package.
set(MDL_SUPPORT_CONTACT "support@meridel.example" CACHE STRING "Where users of the programs ask for support")
target_compile_definitions(mdl_hosting PRIVATE MDL_SUPPORT_CONTACT="${MDL_SUPPORT_CONTACT}")
if(SYSTEMD_FOUND)
  target_link_libraries(mdl_hosting PRIVATE PkgConfig::SYSTEMD)
  target_compile_definitions(mdl_hosting PRIVATE MDL_HAVE_SYSTEMD=1)
endif()

# The headless server's host over the engine handle.
add_library(mdl_server_host STATIC ${CMAKE_CURRENT_LIST_DIR}/server_host.cpp ${CMAKE_CURRENT_LIST_DIR}/nts_ke_host.cpp)
target_link_libraries(mdl_server_host PUBLIC mdl_hosting mdl_server_core)

# The headless client's host over the client application (client/, added after this folder).
add_library(mdl_client_host STATIC ${CMAKE_CURRENT_LIST_DIR}/client_host.cpp)
target_link_libraries(mdl_client_host PUBLIC mdl_hosting mdl_client)
