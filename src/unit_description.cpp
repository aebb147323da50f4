#include "unit_description.h"

#include <cstring>

const char ProductName[] = "ZUV IR Blaster";
const char UnitKeys[] = "12345678";

static_assert(sizeof(ProductName) == ProductNameLength + 1, "the product name has 14 characters");

bool IsBlasterDescription(const char* description) {
    return std::strncmp(description, ProductName, ProductNameLength) == 0;
}

bool IsUnitKey(int code) {
    return code >= '1' && code <= '8';
}

void CutToProductLength(char* description) {
    description[ProductNameLength] = '\0';
}

void AppendUnitSuffix(char* description, int unitKey) {
    if (!IsUnitKey(unitKey) || unitKey == '1') {
        return;
    }
    std::size_t length = std::strlen(description);
    if (length + 3 > DescriptionBufferSize) {
        return;
    }
    description[length] = '-';
    description[length + 1] = static_cast<char>(unitKey);
    description[length + 2] = '\0';
}
