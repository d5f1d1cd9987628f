# mdl_platform_sources(VAR): keeps the sources of the target platform. A file
# X_win.cpp is the Windows side of X.cpp: on Windows it replaces X.cpp, on
# Linux it is left out.
function(mdl_platform_sources var)
  set(kept)
  foreach(f IN LISTS ${var})
    if(f MATCHES "_win\\.cpp$")
      if(WIN32)
        list(APPEND kept ${f})
      endif()
    else()
      string(REGEX REPLACE "\\.cpp$" "_win.cpp" twin ${f})
      if(WIN32 AND EXISTS ${twin})
        list(APPEND kept ${twin})
      else()
        list(APPEND kept ${f})
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES kept)
  set(${var} ${kept} PARENT_SCOPE)
endfunction()

# mdl_module(NAME DIR [DEPS ...]): a static library made of DIR/*.cpp, less the
# engine-facing handlers (*_handler.cpp), which the server core library takes.
function(mdl_module name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "_handler\\.cpp$")
  mdl_platform_sources(srcs)
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# mdl_test_flags(TARGET): test code builds fast. In the optimised builds it is
# compiled without optimisation or debug info (the product libraries under test
# keep theirs); the Debug build keeps line tables (-g1) for sanitizer reports. -Winvalid-pch
# says when the shared precompiled header cannot be used.
function(mdl_test_flags target)
  target_compile_options(${target} PRIVATE
    "$<$<CONFIG:RelWithDebInfo,Release,MinSizeRel>:-O0;-g0>" "$<$<CONFIG:Debug>:-g1>" -Winvalid-pch)
endfunction()

# mdl_test(NAME DIR [DEPS ...]): a GoogleTest binary made of DIR/*_test.cpp,
# linked with the shared test helpers (tests/support), whose precompiled
# header (gtest, gmock, asio and the common standard headers) it reuses.
function(mdl_test name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_test.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN} mdl_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_precompile_headers(${name} REUSE_FROM mdl_test_support)
  # Test files are compiled in batches of up to seven: the shared templates
  # (gtest, asio, the fixtures) are instantiated and instrumented once a
  # batch, not once a file. Names of one file's anonymous namespace must
  # therefore not clash with another's of the same folder.
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 7)
  mdl_test_flags(${name})
  # One variable only: gtest_discover_tests splits a property value at ";".
  # Tests find the source tree from MDL_SOURCE_DIR (tests/CMakeLists.txt).
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600
    ENVIRONMENT "MDL_BIN=${MDL_PROGRAM_DIR}")
endfunction()
