# sonvale-mic: the latency control with simulated clocks, then the real thing
# against PulseAudio and PipeWire inside the test sandbox.
if(TARGET sonvale-mic)
    sonvale_add_gtest(mic_unit_tests LABEL unit
        SOURCES unit/latency_control_test.cpp
        LIBS sonvale_mic_core)

    sonvale_add_gtest(mic_e2e_tests LABEL e2e SANDBOX TIMEOUT 180
        SOURCES
            e2e/mic_harness.cpp e2e/mic_harness.h e2e/mic_fixture.h
            e2e/mic_device_test.cpp
            e2e/mic_audio_test.cpp
            e2e/mic_pipewire_test.cpp)
    target_include_directories(mic_e2e_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
    target_compile_definitions(mic_e2e_tests PRIVATE SONVALE_MIC_PATH="$<TARGET_FILE:sonvale-mic>")
    add_dependencies(mic_e2e_tests sonvale-mic sonvale-engine)
endif()
