# The window: layout, start-up, and the wiring between its controls and the links.
np_add_test(tst_frmmain SOURCES app/tst_frmmain.cpp app/AppFixture.h LIBS np_app)
np_add_test(tst_logview SOURCES app/tst_logview.cpp LIBS np_controls)
# The command line: its parser, and the picks it makes in a started window.
np_add_test(tst_commandline SOURCES app/tst_commandline.cpp app/AppFixture.h LIBS np_app)
