// Byte-by-byte differences of two EEPROM images, for failure messages.
#ifndef ZUV_TESTS_LIBFTDI_BYTE_CHANGES_H
#define ZUV_TESTS_LIBFTDI_BYTE_CHANGES_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// " 0x12: 98 -> 9c" for each byte that differs where allowed says no change may be.
inline std::string ChangesOutside(const std::vector<std::uint8_t>& before,
                                  const std::vector<std::uint8_t>& after,
                                  const std::function<bool(std::size_t)>& allowed) {
    std::string text;
    char line[40];
    for (std::size_t at = 0; at < before.size() && at < after.size(); ++at) {
        if (before[at] != after[at] && !allowed(at)) {
            std::snprintf(line, sizeof line, " 0x%02zx: %02x -> %02x", at, before[at], after[at]);
            text += line;
        }
    }
    return text;
}

#endif
