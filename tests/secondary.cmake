# Number rules and the pressure line of the secondary link.
np_add_test(tst_numbers SOURCES secondary/tst_numbers.cpp LIBS np_secondary_core)
np_add_test(tst_pressure SOURCES secondary/tst_pressure.cpp LIBS np_secondary_core)
