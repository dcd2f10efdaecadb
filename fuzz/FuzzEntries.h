#pragma once
// Entry points shared by the libFuzzer targets and the regression test that replays their
// findings: each takes one input, runs it through the program's own code and checks what must
// always hold. A broken rule prints what went wrong and aborts.
#include <cstddef>
#include <cstdint>

namespace fuzzentry {

// Primary link: bytes in pieces through the Windows-1252 table and the bounded line assembly,
// then each line through the reading parser and record building.
void primaryLines(const uint8_t *data, size_t size);

// Secondary link: bytes drained in polling-sized pieces into the bounded buffer, each line
// through SmallStream with a zero text taken from the input.
void secondaryPoll(const uint8_t *data, size_t size);

// The leading-number rule on arbitrary text and the text form of arbitrary doubles.
void numbers(const uint8_t *data, size_t size);

// The identifier check, and a save under that identifier into a private folder: nothing may
// appear anywhere but a regular file directly in the data folder.
void identifier(const uint8_t *data, size_t size);

// Name -> entry, for the replay test and the fuzz targets.
using Entry = void (*)(const uint8_t *, size_t);
struct Target {
    const char *name;
    Entry entry;
};
inline constexpr Target Targets[] = {{"primary_lines", primaryLines},
                                     {"secondary_poll", secondaryPoll},
                                     {"numbers", numbers},
                                     {"identifier", identifier}};

} // namespace fuzzentry
