# The window: layout, start-up, and the wiring between its controls and the links.
np_add_test(tst_frmmain SOURCES app/tst_frmmain.cpp app/AppFixture.h LIBS np_app)
np_add_test(tst_logview SOURCES app/tst_logview.cpp LIBS np_controls)
np_add_test(tst_displaybox SOURCES app/tst_displaybox.cpp LIBS np_controls)
np_add_test(tst_shapedline SOURCES app/tst_shapedline.cpp LIBS np_controls np_resources)
np_add_test(tst_platform SOURCES app/tst_platform.cpp LIBS np_app)
np_add_test(tst_frmmain_captions SOURCES app/tst_frmmain_captions.cpp app/AppFixture.h LIBS np_app)
