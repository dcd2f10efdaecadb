# libFuzzer targets, built only with clang and -DNP_FUZZ=ON (scripts/fuzz.sh configures such a
# build of its own). The entry points live in np_fuzz_entries, which the normal suite also
# builds to replay the committed corpora and regressions (tests/faults.cmake).
add_library(np_fuzz_entries STATIC ${PROJECT_SOURCE_DIR}/fuzz/FuzzEntries.cpp
                                   ${PROJECT_SOURCE_DIR}/fuzz/FuzzEntries.h)
target_include_directories(np_fuzz_entries PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(np_fuzz_entries PUBLIC np_primary_core np_secondary_core Qt6::Core)

option(NP_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(NP_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "NP_FUZZ=ON needs clang (CXX=clang++-14)")
    endif()
    foreach(target primary_lines secondary_poll numbers identifier)
        add_executable(fuzz_${target} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_${target}.cpp)
        target_link_libraries(fuzz_${target} PRIVATE np_fuzz_entries)
        target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
        set_target_properties(fuzz_${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                        ${CMAKE_BINARY_DIR}/fuzz)
    endforeach()
endif()
