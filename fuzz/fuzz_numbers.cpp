// libFuzzer target: see fuzzentry::numbers.
#include "fuzz/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzentry::numbers(data, size);
    return 0;
}
