# sonvale-phone and sonvale-ring: their pure parts as unit tests, and the tools
# against the real engine end to end.
if(TARGET sonvale-phone AND TARGET sonvale-ring)
    pkg_check_modules(PHONE_TEST_SNDFILE REQUIRED IMPORTED_TARGET sndfile)

    sonvale_add_gtest(phone_tools_unit_tests LABEL unit
        SOURCES
            unit/phone_impairment_test.cpp
            unit/status_line_test.cpp
        LIBS sonvale_phone_core sonvale_tool_common)

    sonvale_add_gtest(ring_follower_tests LABEL unit SANDBOX
        SOURCES unit/ring_follower_test.cpp
        LIBS sonvale_ring_tool_core sonvale_mic_core)

    sonvale_add_gtest(phone_ring_e2e_tests LABEL e2e SANDBOX TIMEOUT 240
        SOURCES e2e/phone_ring_test.cpp
        LIBS PkgConfig::PHONE_TEST_SNDFILE)
    target_compile_definitions(phone_ring_e2e_tests PRIVATE
        SONVALE_PHONE_PATH="$<TARGET_FILE:sonvale-phone>"
        SONVALE_RING_TOOL_PATH="$<TARGET_FILE:sonvale-ring>")
    add_dependencies(phone_ring_e2e_tests sonvale-phone sonvale-ring sonvale-engine)
endif()
