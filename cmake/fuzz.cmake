# Fuzz targets. With clang and VELMORA_FUZZ they are linked with libFuzzer and
# the sanitizers; otherwise with a replay main (the target velmora_fuzz_replay,
# built in freeformat/fuzz) that runs the inputs it is given, so that any
# compiler builds them and the tests replay the kept inputs.
if(VELMORA_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(VELMORA_LIBFUZZER ON)
else()
  set(VELMORA_LIBFUZZER OFF)
endif()

# velmora_fuzz_target(NAME SOURCE CORPUS LIBRARIES...)
# Builds the fuzz target NAME from SOURCE, linked with LIBRARIES, and with the
# tests on adds the test NAME_corpus, which replays every input in CORPUS.
function(velmora_fuzz_target name source corpus)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARGN} velmora_warnings)
  if(VELMORA_LIBFUZZER)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(replay ${name} -runs=0 ${corpus})
  else()
    target_link_libraries(${name} PRIVATE velmora_fuzz_replay)
    set(replay ${name} ${corpus})
  endif()
  if(VELMORA_TESTS)
    add_test(NAME ${name}_corpus COMMAND ${replay})
  endif()
endfunction()
