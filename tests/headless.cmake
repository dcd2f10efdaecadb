# End-to-end tests of the headless run (--headless) with no display server at all, against the
# simulator, with the test's own datagram socket as the service manager (NOTIFY_SOCKET).
foreach(run logging refusals notify unit publish)
    add_test(NAME headless_${run}
             COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/headless/headless.py
                     --bin $<TARGET_FILE:narwickpanel> --sim $<TARGET_FILE:narwickpanel-sim>
                     --source ${PROJECT_SOURCE_DIR} --run ${run})
    set_tests_properties(headless_${run} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS e2e
                         ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
endforeach()
