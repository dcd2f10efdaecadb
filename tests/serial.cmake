# COM naming, probing, exclusive opening and the primary serial port control; line assembly
# and the code page the instrument's lines pass first.
np_add_test(tst_comnames SOURCES serial/tst_comnames.cpp LIBS np_serial)
np_add_test(tst_portprobe SOURCES serial/tst_portprobe.cpp LIBS np_serial)
np_add_test(tst_mscomm SOURCES serial/tst_mscomm.cpp LIBS np_serial)
np_add_test(tst_lineassembly SOURCES serial/tst_lineassembly.cpp LIBS np_serial)
