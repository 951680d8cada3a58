# sonvale-mic: its feed against simulated clocks, then the real bridge against
# PulseAudio and PipeWire inside the test sandbox.
sonvale_add_gtest(mic_unit_tests LABEL unit
    SOURCES unit/latency_control_test.cpp
    LIBS sonvale_mic_core)
target_compile_options(mic_unit_tests PRIVATE -Wconversion)

# Tests that drive a real sound server run alone (RUN_SERIAL): a server starved
# by a test beside it plays gaps.
function(sonvale_add_mic_test name label timeout)
    add_executable(${name} e2e/mic_fixture.h ${ARGN})
    target_link_libraries(${name} PRIVATE test_support GTest::gtest_main)
    target_compile_options(${name} PRIVATE -Wconversion)
    target_compile_definitions(${name} PRIVATE
        SONVALE_MIC_PATH="$<TARGET_FILE:sonvale-mic>"
        SONVALE_PHONE_PATH="$<TARGET_FILE:sonvale-phone>")
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${SONVALE_SANDBOX})
    add_dependencies(${name} sonvale-mic sonvale-phone sonvale-engine)
    gtest_discover_tests(${name}
        PROPERTIES LABELS ${label} TIMEOUT ${timeout} RUN_SERIAL TRUE
        DISCOVERY_TIMEOUT 60)
endfunction()

sonvale_add_mic_test(mic_e2e_tests e2e 240 e2e/mic_audio_test.cpp e2e/mic_device_test.cpp)
# The minute-long clock runs measure to a few milliseconds: `make soak` only.
sonvale_add_mic_test(mic_clock_tests soak 300 e2e/mic_clock_test.cpp)
