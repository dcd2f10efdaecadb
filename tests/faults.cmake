# Fault injection: both serial lines, the data folder and kill -9, against the whole window on
# the offscreen platform; plus the replay of every committed fuzz input (see tests/fuzz.cmake).
np_add_test(tst_linkfaults SOURCES faults/tst_linkfaults.cpp
            LIBS np_app TIMEOUT 240)
np_add_test(tst_datafolderfaults SOURCES faults/tst_datafolderfaults.cpp
            LIBS np_app)

qt_add_executable(faults_saveall_harness faults/saveall_harness.cpp)
set_target_properties(faults_saveall_harness PROPERTIES WIN32_EXECUTABLE OFF)
target_link_libraries(faults_saveall_harness PRIVATE np_app)
np_add_test(tst_killsaveall SOURCES faults/tst_killsaveall.cpp LIBS np_app)
add_dependencies(tst_killsaveall faults_saveall_harness)
target_compile_definitions(tst_killsaveall PRIVATE
    NP_SAVEALL_HARNESS="$<TARGET_FILE:faults_saveall_harness>")

# np_fuzz_entries comes from fuzz.cmake.
np_add_test(tst_fuzzregressions SOURCES faults/tst_fuzzregressions.cpp LIBS np_fuzz_entries)
target_compile_definitions(tst_fuzzregressions PRIVATE NP_FUZZ_DIR="${PROJECT_SOURCE_DIR}/fuzz")
