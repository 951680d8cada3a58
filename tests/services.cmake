# Tests of the application's services (app/services). Each binary has its own
# main with a Qt application object; no display is needed.
if(NOT TARGET tarnwell_services)
    return()
endif()
find_package(Qt6 REQUIRED COMPONENTS Test)

# tarnwell_services_gtest(NAME LABEL label [SANDBOX] SOURCES ...)
function(tarnwell_services_gtest name)
    cmake_parse_arguments(T "SANDBOX" "LABEL" "SOURCES" ${ARGN})
    add_executable(${name} unit/services_test_main.cpp ${T_SOURCES})
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/integration)
    target_link_libraries(${name} PRIVATE tarnwell_services Qt6::Test test_support GTest::gtest)
    if(T_SANDBOX)
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${SONVALE_SANDBOX})
    endif()
    # Suites named *OnSoundServer drive a real sound server: never beside another test.
    gtest_discover_tests(${name} TEST_FILTER "-*OnSoundServer.*"
        PROPERTIES LABELS ${T_LABEL} TIMEOUT 180 ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
        DISCOVERY_TIMEOUT 60)
    gtest_discover_tests(${name} TEST_FILTER "*OnSoundServer.*"
        PROPERTIES LABELS ${T_LABEL} TIMEOUT 180 ENVIRONMENT "QT_QPA_PLATFORM=offscreen" RUN_SERIAL ON
        DISCOVERY_TIMEOUT 60)
endfunction()

tarnwell_services_gtest(services_unit_tests LABEL unit
    SOURCES
        unit/audio_device_test.cpp
        unit/gateway_event_test.cpp
        unit/level_meter_test.cpp
        unit/network_info_test.cpp
        unit/pin_test.cpp
        unit/qr_code_test.cpp)

# Real processes, the real engine, avahi-daemon and PulseAudio: each test in its
# own sandbox (fixed ports, the ring name, private D-Bus and mDNS).
tarnwell_services_gtest(services_integration_tests LABEL integration SANDBOX
    SOURCES
        integration/audio_monitor_test.cpp
        integration/bonjour_advertiser_test.cpp
        integration/engine_controller_test.cpp
        integration/network_info_test.cpp)
add_dependencies(services_integration_tests sonvale-engine)
