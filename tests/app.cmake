# The window: layout, start-up, and the wiring between its controls and the links.
np_add_test(tst_frmmain SOURCES app/tst_frmmain.cpp app/AppFixture.h LIBS np_app)
np_add_test(tst_logview SOURCES app/tst_logview.cpp LIBS np_controls)
