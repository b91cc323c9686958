# add_fuzz_target(NAME SOURCES src... LIBS lib... CORPUS dir)
#
# With -DFUZZ=ON (clang) NAME becomes a libFuzzer binary. Otherwise it is
# built with a small driver that feeds every file of CORPUS to the target
# once, and that replay runs as a test, so the corpus guards every build.
function(add_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  if(FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/FuzzReplayMain.cc)
    add_test(NAME ${name}_corpus COMMAND ${name} ${F_CORPUS})
    set_tests_properties(${name}_corpus PROPERTIES LABELS fuzz)
  endif()
endfunction()
