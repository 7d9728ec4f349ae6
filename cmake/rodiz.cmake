# One static library per folder, made of every source file in it. The
# arguments after the name are the libraries below it that the folder uses.
function(rodiz_folder_library name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT srcs)
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN} Threads::Threads)
  rodiz_layer_check(${name})
endfunction()

# One test program per folder of tests/, every test registered with CTest. The
# arguments after the name are the libraries it tests.
function(rodiz_folder_tests name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE RODIZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             RODIZ_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(RODIZ_TEST_SHARDS GREATER 0)
    # Slow builds (sanitizers) start a process per shard, not per test.
    math(EXPR last "${RODIZ_TEST_SHARDS} - 1")
    foreach(i RANGE ${last})
      add_test(NAME ${name}/${i} COMMAND ${name})
      set_tests_properties(${name}/${i} PROPERTIES TIMEOUT 1800 ENVIRONMENT
                           "GTEST_TOTAL_SHARDS=${RODIZ_TEST_SHARDS};GTEST_SHARD_INDEX=${i}")
    endforeach()
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# Links every object of a folder library against the folders it declares and
# nothing else, so a use of a folder above it fails to link.
function(rodiz_layer_check name)
  add_executable(${name}_layer_check ${PROJECT_SOURCE_DIR}/cmake/layer_check.cpp)
  target_link_libraries(${name}_layer_check PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${name}>")
endfunction()
