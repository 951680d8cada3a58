# sonvale-mic: the latency control with simulated clocks, then the real thing
# against PulseAudio and PipeWire inside the test sandbox.
if(TARGET sonvale-mic)
    sonvale_add_gtest(mic_unit_tests LABEL unit
        SOURCES unit/latency_control_test.cpp
        LIBS sonvale_mic_core)
    target_compile_options(mic_unit_tests PRIVATE -Wconversion)
endif()

if(TARGET sonvale-mic AND TARGET sonvale-phone)
    sonvale_add_gtest(mic_e2e_tests LABEL e2e SANDBOX TIMEOUT 180
        SOURCES
            e2e/mic_harness.cpp e2e/mic_harness.h e2e/mic_fixture.h
            e2e/mic_device_test.cpp
            e2e/mic_audio_test.cpp
            e2e/mic_pipewire_test.cpp)
    target_include_directories(mic_e2e_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
    target_compile_definitions(mic_e2e_tests PRIVATE
        SONVALE_MIC_PATH="$<TARGET_FILE:sonvale-mic>"
        SONVALE_PHONE_PATH="$<TARGET_FILE:sonvale-phone>")
    add_dependencies(mic_e2e_tests sonvale-mic sonvale-phone sonvale-engine)

    # The two minute-long runs measure timing to a few milliseconds: each claims
    # both processors, so ctest runs nothing beside it (they stay sandboxed).
    add_executable(mic_clock_tests e2e/mic_clock_test.cpp e2e/mic_harness.cpp e2e/mic_harness.h e2e/mic_fixture.h)
    target_include_directories(mic_clock_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
    target_link_libraries(mic_clock_tests PRIVATE test_support GTest::gtest_main)
    target_compile_definitions(mic_clock_tests PRIVATE SONVALE_MIC_PATH="$<TARGET_FILE:sonvale-mic>")
    set_target_properties(mic_clock_tests PROPERTIES CROSSCOMPILING_EMULATOR ${SONVALE_SANDBOX})
    add_dependencies(mic_clock_tests sonvale-mic sonvale-engine)
    gtest_discover_tests(mic_clock_tests
        PROPERTIES LABELS e2e TIMEOUT 180 PROCESSORS 2
        DISCOVERY_TIMEOUT 60)
endif()

# The application's device lookup against the running microphone.
if(TARGET sonvale-mic AND TARGET sonvale-phone AND TARGET tarnwell_services)
    add_executable(mic_device_lookup_tests
        e2e/mic_device_lookup_test.cpp e2e/mic_harness.cpp e2e/mic_harness.h e2e/mic_fixture.h)
    target_include_directories(mic_device_lookup_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
    target_link_libraries(mic_device_lookup_tests PRIVATE tarnwell_services test_support GTest::gtest)
    target_compile_definitions(mic_device_lookup_tests PRIVATE SONVALE_MIC_PATH="$<TARGET_FILE:sonvale-mic>")
    set_target_properties(mic_device_lookup_tests PROPERTIES CROSSCOMPILING_EMULATOR ${SONVALE_SANDBOX})
    add_dependencies(mic_device_lookup_tests sonvale-mic)
    gtest_discover_tests(mic_device_lookup_tests PROPERTIES LABELS e2e TIMEOUT 120 DISCOVERY_TIMEOUT 60)
endif()
