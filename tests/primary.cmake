# Pure parts of the primary link: the reading parser and time stamps, readings files.
np_add_test(tst_reading SOURCES primary/tst_reading.cpp LIBS np_primary_core)
np_add_test(tst_readingsfile SOURCES primary/tst_readingsfile.cpp LIBS np_primary_core)
np_add_test(tst_disksync SOURCES primary/tst_disksync.cpp LIBS np_primary_core)
# The link itself, without a window.
np_add_test(tst_primarylink SOURCES primary/tst_primarylink.cpp support/LinkViews.h
            LIBS np_primary np_secondary TIMEOUT 300)
