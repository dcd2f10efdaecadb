# End-to-end tests of the real program under Xvfb, driven through AT-SPI and xdotool with the
# simulator (or the tests' own ptys) as devices. Each test starts its own display and buses.
# They are skipped (exit 77) only when a tool is missing; scripts/install-deps.sh --test
# installs every one of them.
foreach(run operator watchdog instance held typing a11y trend cli gauge mqtt mqtt_faults)
    add_test(NAME e2e_${run}
             COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e.py
                     --bin $<TARGET_FILE:narwickpanel> --sim $<TARGET_FILE:narwickpanel-sim>
                     --out ${CMAKE_BINARY_DIR} --run ${run})
    set_tests_properties(e2e_${run} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS e2e
                         ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
endforeach()
