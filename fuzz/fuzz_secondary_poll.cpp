// libFuzzer target: see fuzzentry::secondaryPoll.
#include "fuzz/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzentry::secondaryPoll(data, size);
    return 0;
}
