# Fuzz targets: libFuzzer executables, built only with -DFERROWICK_FUZZ=ON and clang
# (scripts/fuzz-short.sh does both). Seeds live in a corpus/ folder beside each target.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "FERROWICK_FUZZ needs clang (libFuzzer)")
endif()

# ferrowick_add_fuzz_target(NAME SOURCE LIBRARIES...): the executable fuzz_NAME.
function(ferrowick_add_fuzz_target name source)
  add_executable(fuzz_${name} ${source})
  target_link_libraries(fuzz_${name} PRIVATE ${ARGN})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
endfunction()
