# The Debian package, built from this build and installed into a throwaway root
# (not in sanitizer builds, whose programs need the sanitizer runtime).
if(NOT SANITIZE AND TARGET Tarnwell AND TARGET sonvale-phone AND TARGET man_pages)
    add_test(NAME package.deb_installs_and_runs
        COMMAND ${SONVALE_SANDBOX} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/package_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(package.deb_installs_and_runs PROPERTIES LABELS e2e TIMEOUT 600)
endif()
