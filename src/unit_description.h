// The naming convention of the blasters: which descriptions mark a device as a
// blaster, which keys name a unit, and how a unit's description is formed.
// Pure string logic, no device access.
#ifndef ZUV_UNIT_DESCRIPTION_H
#define ZUV_UNIT_DESCRIPTION_H

#include <cstddef>

// The product name every blaster's description begins with.
extern const char ProductName[];
constexpr std::size_t ProductNameLength = 14;
// The accepted unit keys: key '1' names unit 1, key '8' unit 8.
extern const char UnitKeys[];
// Size of every description buffer the tool hands to or receives from the driver.
constexpr std::size_t DescriptionBufferSize = 256;

// True when the first ProductNameLength characters of the NUL-terminated
// description equal ProductName, case-sensitive. Reads no further than the
// description's terminator or its ProductNameLength-th character.
bool IsBlasterDescription(const char* description);

// True when code, the result of one key read (0..255, or -1 for a failed read),
// is one of the characters '1' to '8'.
bool IsUnitKey(int code);

// Cuts the description in place to at most ProductNameLength characters by
// writing a terminator at that index. The buffer must have room for
// ProductNameLength + 1 characters.
void CutToProductLength(char* description);

// Appends "-" and the key's digit for unit keys '2' to '8', and nothing for '1'.
// Called only with a unit key, on a cut description in a buffer of
// DescriptionBufferSize bytes; leaves the buffer untouched if the suffix would
// not fit.
void AppendUnitSuffix(char* description, int unitKey);

#endif
