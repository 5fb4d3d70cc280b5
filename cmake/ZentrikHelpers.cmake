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

# Compiles every registered schema with protoc into the build tree and adds the
# generated code to the library. Called from the top folder, where the library
# is defined, so the generation rules belong to it.
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
  endforeach()
  # Everything that includes generated headers waits for this target.
  add_custom_target(zentrik_generated DEPENDS ${outputs})
  add_dependencies(zentrik_internal zentrik_generated)
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
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
endfunction()

# zentrik_benchmark(<name>): a Google Benchmark program from bench/<name>.cc.
function(zentrik_benchmark name)
  add_executable(${name} ${name}.cc)
  add_dependencies(${name} zentrik_generated)
  target_link_libraries(${name} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,zentrik_internal>" benchmark::benchmark)
endfunction()

# Where the device simulator's library variants are built (one folder each).
set(ZRA_SIM_VARIANTS_DIR ${CMAKE_BINARY_DIR}/tools/zra_sim/variants)

# zentrik_sim_test(<name> VARIANT <full|no_vorund|no_required|no_optional|empty>
#                  [SOURCES <file>...] [LABELS <label>...] [ENV <VAR=value>...]
#                  [PROGRAM <target>]):
# a test program run against one variant of the ZRA device simulator
# (tools/zra_sim): LD_LIBRARY_PATH points at the variant's folder, which holds
# that variant's libdravik.so, libvorund.so and libmorvel.so (the empty variant
# holds none). The program is built like zentrik_test (<name>.cc by default)
# and also links the simulator core, so tests drive it through
# tools/zra_sim/zra_sim_control.h. ENV adds environment variables (such as
# ZRA_SIM_VERSION=3.0.0). PROGRAM reuses an already defined test program
# instead of building one: its tests are registered again, prefixed "<name>.".
function(zentrik_sim_test name)
  if(NOT ZENTRIK_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "VARIANT;PROGRAM" "SOURCES;LABELS;ENV" ${ARGN})
  set(variants full no_vorund no_required no_optional empty)
  if(NOT ARG_VARIANT IN_LIST variants)
    message(FATAL_ERROR "zentrik_sim_test(${name}): VARIANT must be one of ${variants}")
  endif()
  set(target ${name})
  set(prefix "")
  if(ARG_PROGRAM)
    set(target ${ARG_PROGRAM})
    set(prefix "${name}.")
  else()
    if(NOT ARG_SOURCES)
      set(ARG_SOURCES ${name}.cc)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    add_dependencies(${name} zentrik_generated)
    target_link_libraries(${name} PRIVATE
      "$<LINK_LIBRARY:WHOLE_ARCHIVE,zentrik_internal>" zentrik_testing GTest::gmock zra_sim)
  endif()
  add_dependencies(${target} zra_sim_variants)
  set(env "LD_LIBRARY_PATH=${ZRA_SIM_VARIANTS_DIR}/${ARG_VARIANT}" ${ARG_ENV})
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${prefix}"
    PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "${env}")
endfunction()
