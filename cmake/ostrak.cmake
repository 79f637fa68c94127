# Helpers shared by every folder's CMakeLists.txt.
#
# The libraries are layers: OSTRAK_LAYERS (top CMakeLists.txt) names them from
# the ground up. A library links, and includes the headers of, only the
# libraries it declares, and it may declare only libraries of lower layers. A
# lower layer reaches a higher one only through a table of function pointers
# that the higher one registers (ARCHITECTURE.md).
#
# ostrak_library(<name> [DEPS <names...>] [OPT <flags...>] [LIBS <libs...>]
#                [SOURCES <files...>])
# builds ostrak_<name> from the *.cc files of the calling folder (new files
# are picked up on the next build), or from SOURCES.
#   DEPS     the libraries of ours it links, by layer name
#   OPT      compile options for this library only (e.g. -O3)
#   LIBS     outside libraries it needs
# A folder without sources gives an interface library that only passes its
# DEPS on.
#
# Every static library also gets a target ostrak_<name>_linkcheck, part of
# the default build: a shared object holding the whole library, linked with
# only its declared libraries and -Wl,--no-undefined, so a call into a
# library it does not declare fails the build.
function(ostrak_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;OPT;LIBS;SOURCES" ${ARGN})
  list(FIND OSTRAK_LAYERS ${name} self)
  if(self EQUAL -1)
    message(FATAL_ERROR "library ${name} is not in OSTRAK_LAYERS")
  endif()
  set(deps)
  foreach(d ${ARG_DEPS})
    list(FIND OSTRAK_LAYERS ${d} at)
    if(at EQUAL -1 OR NOT at LESS self)
      message(FATAL_ERROR "library ${name} declares ${d}, which is not a lower layer")
    endif()
    list(APPEND deps ostrak_${d})
  endforeach()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  list(JOIN ARG_DEPS " " declared)
  set_property(GLOBAL APPEND PROPERTY OSTRAK_LAYER_LINES "${name} ${folder} ${declared}")

  if(ARG_SOURCES)
    list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE srcs)
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  endif()
  if(NOT srcs)
    add_library(ostrak_${name} INTERFACE)
    target_link_libraries(ostrak_${name} INTERFACE ${deps})
    return()
  endif()
  add_library(ostrak_${name} STATIC ${srcs})
  target_include_directories(ostrak_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(ostrak_${name} PUBLIC ${deps} Threads::Threads ${CMAKE_DL_LIBS} ${ARG_LIBS})
  if(ARG_OPT)
    target_compile_options(ostrak_${name} PRIVATE ${ARG_OPT})
  endif()
  set_property(GLOBAL APPEND PROPERTY OSTRAK_LIBS ostrak_${name})

  # (Not in a fuzzing build: its coverage hooks live in the programs'
  # runtime, so a shared object cannot resolve them on its own.)
  if(OSTRAK_FUZZ)
    return()
  endif()
  add_library(ostrak_${name}_linkcheck SHARED ${PROJECT_SOURCE_DIR}/cmake/linkcheck.cc)
  target_link_libraries(ostrak_${name}_linkcheck PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,ostrak_${name}>")
  target_link_options(ostrak_${name}_linkcheck PRIVATE -Wl,--no-undefined)
endfunction()

# Writes the declared layers (one line per library: name, folder, declared
# libraries) for the include check, scripts/check-layer-includes.
function(ostrak_write_layers file)
  get_property(lines GLOBAL PROPERTY OSTRAK_LAYER_LINES)
  set(text "")
  foreach(layer ${OSTRAK_LAYERS})
    foreach(line ${lines})
      if(line MATCHES "^${layer} ")
        string(APPEND text "${line}\n")
      endif()
    endforeach()
  endforeach()
  file(WRITE ${file} "${text}")
endfunction()

# ostrak_tests(<folder>) makes one test program per *_test.cc file of the
# calling folder; each also links the folder's *_fixture.cc files,
# tests/common/seed_dir_fixture.cc, which keeps the random seed file of every
# test program in a temporary directory, tests/common/wiring_fixture.cc,
# which wires the libraries together as ostrakd does, and
# tests/common/counting_memory_mgr.cc, the test memory manager. Files named
# *_concurrency_test.cc carry the CTest label "concurrency" and are also
# collected in the target concurrency_tests, which the ThreadSanitizer build
# runs.
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
                   ${PROJECT_SOURCE_DIR}/tests/common/wiring_fixture.cc
                   ${PROJECT_SOURCE_DIR}/tests/common/counting_memory_mgr.cc)
    target_link_libraries(${exe} PRIVATE ostrak_wiring GTest::gtest GTest::gtest_main GTest::gmock ${ARG_LIBS})
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

# ostrak_fuzz_target(<name> SOURCES <files...> LIBS <libs...> CORPUS <dir>)
# A fuzz target: SOURCES (relative to the calling folder) define
# LLVMFuzzerTestOneInput, LIBS are what it links, CORPUS is the folder of
# checked-in inputs. Every build makes <name>_corpus, the target over
# tests/common/fuzz_corpus_main.cc, and the CTest test fuzz_corpus_<name>
# that runs it over the corpus (under the sanitisers in the sanitiser
# build), so a target that no longer builds or crashes on its corpus fails
# the tests. With -DOSTRAK_FUZZ=ON (clang only) it also makes <name>, the
# libFuzzer program, e.g.
#   <name> -max_total_time=300 <a copy of the corpus folder>
function(ostrak_fuzz_target name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE srcs)
  add_executable(${name}_corpus ${srcs} ${PROJECT_SOURCE_DIR}/tests/common/fuzz_corpus_main.cc)
  target_link_libraries(${name}_corpus PRIVATE ${ARG_LIBS})
  add_test(NAME fuzz_corpus_${name} COMMAND ${name}_corpus ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_CORPUS})
  set_tests_properties(fuzz_corpus_${name} PROPERTIES LABELS fuzz TIMEOUT 300)
  if(OSTRAK_FUZZ)
    add_executable(${name} ${srcs})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()
