# The benchmarks, each for a moment, so that none of them rots; no timing is checked.
# With sonvale-phone in the build, its own packets are fed through them; with the
# browser gateway, its benchmark runs too.
if(TARGET sonvale-micro-bench AND TARGET sonvale-pipeline-bench)
    set(bench_extra "")
    if(TARGET sonvale-phone)
        list(APPEND bench_extra --phone $<TARGET_FILE:sonvale-phone>)
    endif()
    if(TARGET sonvale-web-bench)
        list(APPEND bench_extra --web $<TARGET_FILE:sonvale-web-bench> $<TARGET_FILE:sonvale-web>)
    endif()
    add_test(NAME bench.smoke
        COMMAND ${SONVALE_SANDBOX} ${CMAKE_SOURCE_DIR}/bench/smoke.sh
                $<TARGET_FILE:sonvale-micro-bench> $<TARGET_FILE:sonvale-pipeline-bench>
                $<TARGET_FILE:sonvale-engine> ${CMAKE_CURRENT_BINARY_DIR}/bench-smoke ${bench_extra})
    set_tests_properties(bench.smoke PROPERTIES LABELS unit TIMEOUT 120)
endif()
