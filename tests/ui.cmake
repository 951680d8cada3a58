# Tests of the desktop application (app/ui): widget tests on Qt's offscreen
# platform, and the built Tarnwell end to end under Xvfb. All run in the
# sandbox: the ring, the engine's ports, avahi and PulseAudio are private to
# each test.
if(NOT TARGET tarnwell_ui)
    return()
endif()
find_package(Qt6 REQUIRED COMPONENTS Test Widgets WebSockets)

add_executable(tarnwell_gui_tests
    gui/tarnwell_gui_main.cpp
    gui/ui_fixture.h
    gui/content_view_test.cpp
    gui/platform_glue_test.cpp
    gui/tarnwell_app_test.cpp)
target_include_directories(tarnwell_gui_tests PRIVATE gui integration)
target_link_libraries(tarnwell_gui_tests PRIVATE tarnwell_ui Qt6::Test Qt6::WebSockets test_support GTest::gtest)
# The application's programs, which the tests of its frame run for real.
foreach(program sonvale-engine sonvale-web sonvale-mic)
    if(TARGET ${program})
        add_dependencies(tarnwell_gui_tests ${program})
    endif()
endforeach()
set_target_properties(tarnwell_gui_tests PROPERTIES CROSSCOMPILING_EMULATOR ${SONVALE_SANDBOX})
# Suites named *OnSoundServer drive a real sound server: never beside another test.
gtest_discover_tests(tarnwell_gui_tests TEST_FILTER "-*OnSoundServer.*"
    PROPERTIES LABELS gui TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    DISCOVERY_TIMEOUT 60)
gtest_discover_tests(tarnwell_gui_tests TEST_FILTER "*OnSoundServer.*"
    PROPERTIES LABELS gui TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen" RUN_SERIAL ON
    DISCOVERY_TIMEOUT 60)

# Journey 3: the built Tarnwell under xvfb-run (tests/e2e/tarnwell_xvfb.sh) in
# its own sandbox, with avahi-daemon and sonvale-phone.
if(TARGET sonvale-phone)
    add_executable(tarnwell_e2e_tests e2e/tarnwell_e2e_main.cpp e2e/tarnwell_e2e_test.cpp)
    target_include_directories(tarnwell_e2e_tests PRIVATE integration)
    target_link_libraries(tarnwell_e2e_tests PRIVATE tarnwell_ui Qt6::Test test_support GTest::gtest)
    set_target_properties(tarnwell_e2e_tests PROPERTIES
        CROSSCOMPILING_EMULATOR "${SONVALE_SANDBOX};${CMAKE_CURRENT_SOURCE_DIR}/e2e/tarnwell_xvfb.sh")
    add_dependencies(tarnwell_e2e_tests Tarnwell sonvale-engine sonvale-phone)
    # Tarnwell's gateway keeps its certificate in the user's data folder: not the real one.
    gtest_discover_tests(tarnwell_e2e_tests DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS e2e TIMEOUT 180 ENVIRONMENT "XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-artefacts/data")
endif()

# Without a display: one line, status 2, no engine.
add_test(NAME tarnwell.no_display_says_so_in_one_line
    COMMAND ${SONVALE_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/tarnwell_no_display_test.sh $<TARGET_FILE:Tarnwell>)
set_tests_properties(tarnwell.no_display_says_so_in_one_line PROPERTIES LABELS e2e TIMEOUT 60)
