# zentrik_sources(<file>...): adds sources of the current folder to the library.
function(zentrik_sources)
  foreach(src IN LISTS ARGN)
    target_sources(zentrik_internal PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/${src})
  endforeach()
endfunction()

# zentrik_protos(<file.proto>...): schemas of the current folder, compiled by
# zentrik_generate_protos() once every folder was read. Imports are written
# relative to the source root.
function(zentrik_protos)
  foreach(proto IN LISTS ARGN)
    set_property(GLOBAL APPEND PROPERTY ZENTRIK_PROTOS ${CMAKE_CURRENT_SOURCE_DIR}/${proto})
  endforeach()
endfunction()

include(GNUInstallDirs)

# Compiles every registered schema with protoc into the build tree and adds the
# generated code to the library; installs the schemas under
# share/zentrik/proto/ with their source-root paths, so that their imports
# resolve and the files the library writes can be decoded. Called from the top
# folder, where the library is defined, so the generation rules belong to it.
function(zentrik_generate_protos)
  get_property(protos GLOBAL PROPERTY ZENTRIK_PROTOS)
  set(outputs)
  foreach(proto IN LISTS protos)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${proto})
    string(REGEX REPLACE "\\.proto$" ".pb" out_base ${CMAKE_BINARY_DIR}/${rel})
    add_custom_command(
      OUTPUT ${out_base}.cc ${out_base}.h
      COMMAND protobuf::protoc --cpp_out=${CMAKE_BINARY_DIR} -I ${CMAKE_SOURCE_DIR} ${rel}
      DEPENDS ${proto} protobuf::protoc
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      COMMENT "protoc ${rel}"
      VERBATIM)
    target_sources(zentrik_internal PRIVATE ${out_base}.cc ${out_base}.h)
    # Generated code is not ours to keep warning-free.
    set_source_files_properties(${out_base}.cc PROPERTIES COMPILE_OPTIONS "-w")
    list(APPEND outputs ${out_base}.cc ${out_base}.h)
    get_filename_component(rel_dir ${rel} DIRECTORY)
    install(FILES ${proto} DESTINATION ${CMAKE_INSTALL_DATADIR}/zentrik/proto/${rel_dir})
  endforeach()
  # Everything that includes generated headers waits for this target.
  add_custom_target(zentrik_generated DEPENDS ${outputs})
  add_dependencies(zentrik_internal zentrik_generated)
endfunction()

# zentrik_concurrency_target(<target> <label>...): when the labels name
# concurrency, <target> joins zentrik_concurrency_tests, the target that CI
# builds under ThreadSanitizer before it runs `ctest -L concurrency`. Every
# program with tests labelled concurrency must join it, or its tests are
# never built there.
function(zentrik_concurrency_target target)
  if(NOT "concurrency" IN_LIST ARGN)
    return()
  endif()
  if(NOT TARGET zentrik_concurrency_tests)
    add_custom_target(zentrik_concurrency_tests)
  endif()
  add_dependencies(zentrik_concurrency_tests ${target})
endfunction()

# Seconds a test may run before CTest stops and fails it. The slowest test
# (about 35 s alone, under 50 s in a full parallel run, plain or under the
# sanitizers) ends well within it; one that waits for what never comes (an
# export waiting on a lock, say) fails the suite within minutes rather than
# holding it.
set(ZENTRIK_TEST_TIMEOUT 100)

# zentrik_discover_tests(<program> [TEST_FILTER <filter>] [LABELS <label>]
#                        [ENVIRONMENT <var=value>]): the GoogleTest cases of
# <program> (those matching <filter>), each a CTest test bounded by
# ZENTRIK_TEST_TIMEOUT.
function(zentrik_discover_tests program)
  cmake_parse_arguments(ARG "" "TEST_FILTER;ENVIRONMENT" "LABELS" ${ARGN})
  # Properties are flattened into one list: an empty value would shift the
  # next property's name into it, so only given ones are named.
  set(properties TIMEOUT ${ZENTRIK_TEST_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  set(filter)
  if(ARG_TEST_FILTER)
    set(filter TEST_FILTER "${ARG_TEST_FILTER}")
  endif()
  gtest_discover_tests(${program} DISCOVERY_TIMEOUT 60 ${filter} PROPERTIES ${properties})
endfunction()

# zentrik_test(<name> [SOURCES <file>...] [LABELS <label>...]): one test
# program, <name>.cc by default, linked with the whole internal library.
function(zentrik_test name)
  if(NOT ZENTRIK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LABELS" ${ARGN})
  if(NOT ARG_SOURCES)
    set(ARG_SOURCES ${name}.cc)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  add_dependencies(${name} zentrik_generated)
  target_link_libraries(${name} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,zentrik_internal>" zentrik_testing GTest::gmock)
  zentrik_discover_tests(${name} LABELS ${ARG_LABELS})
  zentrik_concurrency_target(${name} ${ARG_LABELS})
endfunction()

# zentrik_benchmark(<name>): a Google Benchmark program from bench/<name>.cc.
function(zentrik_benchmark name)
  add_executable(${name} ${name}.cc)
  add_dependencies(${name} zentrik_generated)
  target_link_libraries(${name} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,zentrik_internal>" benchmark::benchmark)
endfunction()

# zentrik_fuzzer(<name>): a fuzz target from <name>.cc, its seed corpus in
# <name>_corpus/ beside it. With ZENTRIK_FUZZ (clang) it is a libFuzzer
# program; otherwise a plain program that runs each input of its corpus once.
# Either way CTest replays the corpus, and scripts/fuzz finds the target in
# fuzz_targets.txt of the build folder.
function(zentrik_fuzzer name)
  if(NOT ZENTRIK_BUILD_TESTS)
    return()
  endif()
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/${name}_corpus)
  add_executable(${name} ${name}.cc)
  add_dependencies(${name} zentrik_generated)
  target_link_libraries(${name} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,zentrik_internal>" zentrik_fuzz_checks)
  if(ZENTRIK_FUZZ)
    target_compile_definitions(${name} PRIVATE ZENTRIK_LIBFUZZER)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_link_libraries(${name} PRIVATE zentrik_fuzz_replay_main)
  endif()
  add_test(NAME ${name}_replay COMMAND ${name} -runs=0 ${corpus})
  set_tests_properties(${name}_replay PROPERTIES LABELS fuzz)
  set_property(GLOBAL APPEND_STRING PROPERTY ZENTRIK_FUZZ_TARGETS
    "$<TARGET_FILE:${name}> ${corpus}\n")
endfunction()

# Writes the fuzz targets' list for scripts/fuzz: one "<program> <corpus>" a
# line. Called from the top folder once every folder was read.
function(zentrik_write_fuzz_targets)
  get_property(targets GLOBAL PROPERTY ZENTRIK_FUZZ_TARGETS)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzz_targets.txt CONTENT "${targets}")
endfunction()

# Where the device simulator's library variants are built (one folder each).
set(ZRA_SIM_VARIANTS_DIR ${CMAKE_BINARY_DIR}/tools/zra_sim/variants)

# zentrik_sim_test(<name> VARIANT <full|no_vorund|no_required|no_optional|empty>
#                  [SOURCES <file>...] [LABELS <label>...]):
# a test program run against one variant of the ZRA device simulator
# (tools/zra_sim): LD_LIBRARY_PATH points at the variant's folder, which holds
# that variant's libdravik.so, libvorund.so and libmorvel.so (the empty variant
# holds none). The program is built like zentrik_test (<name>.cc by default)
# and also links the simulator core, so tests drive it through
# tools/zra_sim/zra_sim_control.h. Scenarios that need other variables set
# them in a child process of their own.
function(zentrik_sim_test name)
  if(NOT ZENTRIK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "VARIANT" "SOURCES;LABELS" ${ARGN})
  set(variants full no_vorund no_required no_optional empty)
  if(NOT ARG_VARIANT IN_LIST variants)
    message(FATAL_ERROR "zentrik_sim_test(${name}): VARIANT must be one of ${variants}")
  endif()
  if(NOT ARG_SOURCES)
    set(ARG_SOURCES ${name}.cc)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  add_dependencies(${name} zentrik_generated zra_sim_variants)
  target_link_libraries(${name} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,zentrik_internal>" zentrik_testing GTest::gmock zra_sim)
  zentrik_discover_tests(${name} LABELS ${ARG_LABELS}
    ENVIRONMENT "LD_LIBRARY_PATH=${ZRA_SIM_VARIANTS_DIR}/${ARG_VARIANT}")
  zentrik_concurrency_target(${name} ${ARG_LABELS})
endfunction()
