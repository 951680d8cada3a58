# sonvale-mic: its feed against simulated clocks, then the real bridge against
# PulseAudio and PipeWire inside the test sandbox.
if(NOT TARGET sonvale-mic OR NOT TARGET sonvale-phone)
    return()
endif()
sonvale_add_gtest(mic_unit_tests LABEL unit
    SOURCES unit/latency_control_test.cpp
    LIBS sonvale_mic_core)

# Tests that drive a real sound server run alone: a server starved by a test
# beside it plays gaps.
sonvale_add_gtest(mic_e2e_tests LABEL e2e SANDBOX SERIAL TIMEOUT 240
    SOURCES e2e/mic_fixture.h e2e/mic_audio_test.cpp e2e/mic_device_test.cpp)
# Journey 5: Tarnwell --headless brings up the engine, the gateway and the microphone.
if(TARGET Tarnwell AND TARGET sonvale-web)
    target_sources(mic_e2e_tests PRIVATE e2e/headless_journey_test.cpp)
    add_dependencies(mic_e2e_tests Tarnwell sonvale-web)
endif()
target_compile_definitions(mic_e2e_tests PRIVATE
    SONVALE_MIC_PATH="$<TARGET_FILE:sonvale-mic>"
    SONVALE_PHONE_PATH="$<TARGET_FILE:sonvale-phone>")
add_dependencies(mic_e2e_tests sonvale-mic sonvale-phone sonvale-engine)
