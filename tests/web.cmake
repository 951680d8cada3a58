# sonvale-web: its pure parts as unit tests, the gateway with the real engine in
# the sandbox, and a real browser (Debian's Chromium) against both.
if(TARGET sonvale-web)
    find_package(Qt6 REQUIRED COMPONENTS WebSockets)

    sonvale_add_gtest(web_unit_tests LABEL unit
        SOURCES web/page_message_test.cpp web/playout_buffer_test.cpp web/certificate_store_test.cpp
            web/session_policy_test.cpp web/paired_phones_test.cpp
            web/connection_gate_test.cpp web/page_clock_test.cpp
            web/websocket_test.cpp
        LIBS sonvale_web_core)

    # The page's logic in node, against a fake browser.
    find_program(NODE node REQUIRED)
    add_test(NAME web.page_logic COMMAND ${NODE} --test ${CMAKE_CURRENT_SOURCE_DIR}/web/page/session_test.mjs)
    set_tests_properties(web.page_logic PROPERTIES LABELS unit)

    sonvale_add_gtest(web_integration_tests LABEL integration SANDBOX TIMEOUT 180
        SOURCES web/gateway_test.cpp
        LIBS Qt6::WebSockets)
    target_compile_definitions(web_integration_tests PRIVATE SONVALE_WEB_PATH="$<TARGET_FILE:sonvale-web>")
    add_dependencies(web_integration_tests sonvale-web sonvale-engine)
    target_compile_options(web_unit_tests PRIVATE -Wconversion)
    target_compile_options(web_integration_tests PRIVATE -Wconversion)
endif()

# Journey 4 in Chromium, Firefox ESR and WebKitGTK, heard on the "Tarnwell"
# microphone: one test per engine. A browser takes both cores and the sound
# server must not starve, so each runs alone.
if(TARGET sonvale-web AND TARGET sonvale-mic AND NOT SANITIZE)
    sonvale_add_gtest(web_browser_tests LABEL e2e SANDBOX SERIAL TIMEOUT 300
        SOURCES web/browser_test.cpp e2e/mic_fixture.h LIBS Qt6::Core)
    target_include_directories(web_browser_tests PRIVATE e2e)
    target_compile_definitions(web_browser_tests PRIVATE
        SONVALE_WEB_PATH="$<TARGET_FILE:sonvale-web>" SONVALE_MIC_PATH="$<TARGET_FILE:sonvale-mic>")
    add_dependencies(web_browser_tests sonvale-web sonvale-engine sonvale-mic)
    target_compile_options(web_browser_tests PRIVATE -Wconversion)
endif()
