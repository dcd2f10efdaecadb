# Number rules and the pressure line of the secondary link.
np_add_test(tst_numbers SOURCES secondary/tst_numbers.cpp LIBS np_secondary_core)
np_add_test(tst_pressure SOURCES secondary/tst_pressure.cpp LIBS np_secondary_core)
# The link itself, without a window, beside the primary link.
np_add_test(tst_secondarylink SOURCES secondary/tst_secondarylink.cpp support/LinkViews.h
            LIBS np_primary np_secondary)
