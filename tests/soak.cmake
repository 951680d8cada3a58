# Soak and chaos runs: short versions here, long ones through `make soak`.
add_executable(soak_engine soak/soak_engine.cpp)
target_link_libraries(soak_engine PRIVATE test_support)
add_dependencies(soak_engine sonvale-engine)

add_test(NAME soak.stream_with_impairments_short COMMAND ${SONVALE_SANDBOX} $<TARGET_FILE:soak_engine> stream 20)
add_test(NAME soak.control_and_datagram_abuse_short COMMAND ${SONVALE_SANDBOX} $<TARGET_FILE:soak_engine> abuse 200)
set_tests_properties(soak.stream_with_impairments_short soak.control_and_datagram_abuse_short
    PROPERTIES LABELS integration TIMEOUT 180)
if(SANITIZE)
    set_tests_properties(soak.stream_with_impairments_short PROPERTIES ENVIRONMENT SONVALE_SOAK_RESOURCE_CHECKS=0)
endif()

# The engine killed again and again under the application's controller, for
# `make soak` only: the relaunch rule itself is engine_controller_test's.
if(TARGET tarnwell_services)
    add_executable(soak_restarts soak/soak_restarts.cpp)
    target_link_libraries(soak_restarts PRIVATE tarnwell_services test_support)
    add_dependencies(soak_restarts sonvale-engine)
endif()

# The gateway attacked while a phone streams through it, for `make soak` only.
if(TARGET sonvale-web AND NOT SANITIZE)
    find_package(Qt6 REQUIRED COMPONENTS Network WebSockets)
    add_executable(soak_web soak/soak_web.cpp)
    target_link_libraries(soak_web PRIVATE test_support Qt6::Network Qt6::WebSockets)
    target_compile_definitions(soak_web PRIVATE SONVALE_WEB_PATH="$<TARGET_FILE:sonvale-web>")
    add_dependencies(soak_web sonvale-web sonvale-engine)
endif()

# A browser phone through the Wi-Fi-like front, ten minutes per latency choice,
# for `make soak` only (label soak): Normal with stalls of 100 ms, Steady with
# 250 ms, Low with 100 ms.
if(TARGET sonvale-web AND NOT SANITIZE)
    foreach(run IN ITEMS "normal;1;100" "steady;2;250" "low;0;100")
        list(GET run 0 name)
        list(GET run 1 mode)
        list(GET run 2 stall)
        add_test(NAME soak.browser_wifi_${name}
            COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/soak/browser_wifi.sh ${CMAKE_BINARY_DIR} ${mode} ${stall})
        set_tests_properties(soak.browser_wifi_${name} PROPERTIES LABELS soak TIMEOUT 900 RUN_SERIAL TRUE)
    endforeach()
endif()
