np_add_test(tst_frmmain SOURCES app/tst_frmmain.cpp app/AppFixture.h LIBS np_app)
np_add_test(tst_primarylink SOURCES app/tst_primarylink.cpp app/AppFixture.h LIBS np_app TIMEOUT 300)
np_add_test(tst_secondarylink SOURCES app/tst_secondarylink.cpp app/AppFixture.h LIBS np_app)
np_add_test(tst_logview SOURCES app/tst_logview.cpp LIBS np_controls)
