# The trend view: its data model and CSV export, and the window with its picture exports.
np_add_test(tst_trendmodel SOURCES trend/tst_trendmodel.cpp LIBS np_trend_core)
np_add_test(tst_trendwindow SOURCES trend/tst_trendwindow.cpp LIBS np_trend np_secondary)
