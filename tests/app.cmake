# The window: layout, start-up, and the wiring between its controls and the links.
np_add_test(tst_frmmain SOURCES app/tst_frmmain.cpp LIBS np_app)
np_add_test(tst_logview SOURCES app/tst_logview.cpp LIBS np_controls)
np_add_test(tst_displaybox SOURCES app/tst_displaybox.cpp LIBS np_controls)
np_add_test(tst_shapedline SOURCES app/tst_shapedline.cpp LIBS np_controls np_resources)
np_add_test(tst_platform SOURCES app/tst_platform.cpp LIBS np_app)
np_add_test(tst_frmmain_captions SOURCES app/tst_frmmain_captions.cpp LIBS np_app)
# The command line: its parser, and the picks it makes in a started window.
np_add_test(tst_commandline SOURCES app/tst_commandline.cpp LIBS np_app)
# One of its cases has other processes hold many descriptors, which sends every window's look
# at them to a worker thread: no other test may start a window meanwhile.
set_tests_properties(tst_commandline PROPERTIES RUN_SERIAL TRUE)
target_compile_definitions(tst_commandline PRIVATE
    NP_AUTOSTART_ENTRY="${PROJECT_SOURCE_DIR}/data/narwickpanel-autostart.desktop")
# The example autostart entry is a valid desktop entry (skipped when the validator is missing;
# scripts/install-deps.sh --test installs it).
add_test(NAME commandline_autostart_entry
         COMMAND /bin/sh -c "command -v desktop-file-validate >/dev/null || { echo 'SKIP: desktop-file-validate is missing'; exit 77; }
out=$(desktop-file-validate \"$1\" 2>&1); rc=$?; printf '%s\\n' \"$out\"
[ $rc -eq 0 ] && ! printf '%s' \"$out\" | grep -qi 'error\\|warning'"
                 sh ${PROJECT_SOURCE_DIR}/data/narwickpanel-autostart.desktop)
set_tests_properties(commandline_autostart_entry PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 30)
