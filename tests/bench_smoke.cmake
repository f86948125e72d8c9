# A short run of every benchmark program (label bench-smoke): they start, measure and report
# without failing; and the harness's own checks. Figures come from scripts/bench.sh, never
# from these runs.
# bench/ is added after tests/, so the bench targets are looked up once the top directory is
# complete.
function(strovix_add_bench_smoke_tests)
  set(smoke_runs
      "bench_streams\;--smoke"
      "bench_frame_age\;--smoke"
      "bench_throughput\;--smoke"
      "bench_recovery\;--smoke"
      "bench_reload\;--smoke"
      "bench_conversion\;--benchmark_filter=640x360\;--benchmark_min_time=0.01"
      "bench_selftest")
  foreach(run IN LISTS smoke_runs)
    # What is left after the target name are its arguments.
    list(POP_FRONT run target)
    set(args ${run})
    if(TARGET ${target})
      add_test(NAME bench_smoke.${target} COMMAND $<TARGET_FILE:${target}> ${args})
      set_tests_properties(bench_smoke.${target} PROPERTIES LABELS bench-smoke TIMEOUT 120)
    endif()
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL strovix_add_bench_smoke_tests)
