# Helpers shared by every folder's CMakeLists.txt.
#
# ostrak_library(<name>) builds ostrak_<name> from the *.cc files of the
# calling folder (new files are picked up on the next build). Extra options:
#   OPT <flags...>   compile options for this folder only (e.g. -O3)
#   LIBS <libs...>   outside libraries this folder needs
function(ostrak_library name)
  cmake_parse_arguments(ARG "" "" "OPT;LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  if(NOT srcs)
    return()
  endif()
  add_library(ostrak_${name} STATIC ${srcs})
  target_include_directories(ostrak_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(ostrak_${name} PUBLIC Threads::Threads ${CMAKE_DL_LIBS} ${ARG_LIBS})
  if(ARG_OPT)
    target_compile_options(ostrak_${name} PRIVATE ${ARG_OPT})
  endif()
  set_property(GLOBAL APPEND PROPERTY OSTRAK_LIBS ostrak_${name})
endfunction()

# ostrak_all links every subsystem library, resolved as one group.
function(ostrak_finish_group)
  get_property(libs GLOBAL PROPERTY OSTRAK_LIBS)
  add_library(ostrak_all INTERFACE)
  if(libs)
    target_link_libraries(ostrak_all INTERFACE "$<LINK_GROUP:RESCAN,${libs}>")
    foreach(l ${libs})
      get_target_property(ll ${l} INTERFACE_LINK_LIBRARIES)
      if(ll)
        target_link_libraries(ostrak_all INTERFACE ${ll})
      endif()
    endforeach()
  endif()
  target_include_directories(ostrak_all INTERFACE ${PROJECT_SOURCE_DIR})
endfunction()

# ostrak_tests(<folder>) makes one test program per *_test.cc file of the
# calling folder; each also links the folder's *_fixture.cc files,
# tests/common/seed_dir_fixture.cc, which keeps the random seed file of every
# test program in a temporary directory, and tests/common/counting_memory_mgr.cc,
# the test memory manager. Files named *_concurrency_test.cc carry the CTest label
# "concurrency" and are also collected in the target concurrency_tests, which
# the ThreadSanitizer build runs.
#   LIBS <libs...>   oracle libraries the tests of this folder link
function(ostrak_tests folder)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_fixture.cc)
  string(REPLACE "/" "_" prefix ${folder})
  # Test code is mostly framework macros: build it lightly optimised and with
  # little debug information (line tables where a sanitiser reports), and
  # parse the framework headers once per folder.
  # (At -O1 GCC 12 reports std::string concatenation as out of bounds and
  # std::regex's internals as uninitialised, false alarms in the standard
  # headers, so those warnings are off for test code.)
  if(OSTRAK_SANITIZE)
    set(test_opts -O1 -g1 -Wno-array-bounds -Wno-stringop-overflow -Wno-maybe-uninitialized)
  else()
    set(test_opts -O1 -g0 -Wno-array-bounds -Wno-stringop-overflow -Wno-maybe-uninitialized)
  endif()
  set(pch_owner "")
  foreach(t ${tests})
    get_filename_component(base ${t} NAME_WE)
    set(exe ${prefix}_${base})
    add_executable(${exe} ${t} ${helpers} ${PROJECT_SOURCE_DIR}/tests/common/seed_dir_fixture.cc
                          ${PROJECT_SOURCE_DIR}/tests/common/counting_memory_mgr.cc)
    target_link_libraries(${exe} PRIVATE ostrak_all GTest::gtest GTest::gtest_main GTest::gmock ${ARG_LIBS})
    target_compile_options(${exe} PRIVATE ${test_opts})
    if(pch_owner)
      target_precompile_headers(${exe} REUSE_FROM ${pch_owner})
    else()
      target_precompile_headers(${exe} PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
      set(pch_owner ${exe})
    endif()
    target_compile_definitions(${exe} PRIVATE OSTRAK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                               OSTRAK_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
    if(base MATCHES "_concurrency_test$")
      gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS concurrency TIMEOUT 600)
      set_property(GLOBAL APPEND PROPERTY OSTRAK_CONCURRENCY_TESTS ${exe})
    else()
      gtest_discover_tests(${exe} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 600)
    endif()
    set_property(GLOBAL APPEND PROPERTY OSTRAK_TEST_TARGETS ${exe})
  endforeach()
endfunction()
