# The device simulator, driven through its pseudo-terminals as the program would read them.
np_add_test(tst_sim SOURCES sim/tst_sim.cpp TIMEOUT 60)
add_dependencies(tst_sim narwickpanel-sim)
target_compile_definitions(tst_sim PRIVATE NP_SIM_BINARY="$<TARGET_FILE:narwickpanel-sim>")
