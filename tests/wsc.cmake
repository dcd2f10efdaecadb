# The serial library of the secondary link, driven through pseudo-terminals.
np_add_test(tst_wsc SOURCES wsc/tst_wsc.cpp LIBS np_serial)
