// libFuzzer target: see fuzzentry::identifier.
#include "fuzz/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzentry::identifier(data, size);
    return 0;
}
