// libFuzzer target: see fuzzentry::primaryLines.
#include "fuzz/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzentry::primaryLines(data, size);
    return 0;
}
