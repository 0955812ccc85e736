# tallowmere_environ_probe(target path): builds an environ probe named `target` that reads the
# archive at `path`, compiled in. The tests, benchmarks and examples each build their own.
function(tallowmere_environ_probe target path)
  cmake_path(IS_ABSOLUTE path absolute)
  cmake_path(GET path FILENAME name)
  if(NOT absolute OR NOT name STREQUAL "client_portal.dat")
    message(FATAL_ERROR "The probe's archive path must be an absolute path to a file named "
                        "client_portal.dat; got '${path}'")
  endif()
  set(PORTAL_PATH "${path}")
  set(header_dir "${CMAKE_CURRENT_BINARY_DIR}/${target}-config")
  configure_file(${PROJECT_SOURCE_DIR}/examples/portal_path.h.in ${header_dir}/portal_path.h @ONLY)
  add_executable(${target} ${PROJECT_SOURCE_DIR}/examples/environ_probe.cpp)
  target_include_directories(${target} PRIVATE ${header_dir})
  target_link_libraries(${target} PRIVATE tallowmere_report tallowmere_warnings)
endfunction()
