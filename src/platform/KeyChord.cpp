#include "KeyChord.h"

uint32_t keysymForCharacter(char32_t character) {
    if (character < 0x20 || (character >= 0x7f && character < 0xa0) || character > 0x10ffff)
        return 0;
    if (character <= 0xff)
        return static_cast<uint32_t>(character);
    return 0x01000000u | static_cast<uint32_t>(character);
}
