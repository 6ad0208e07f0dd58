// UTF-8 well-formedness.
#include "json/utf8.h"

namespace json {

bool utf8ValidateSlice(std::string_view bytes) noexcept {
    // The smallest value each length may encode; anything less is an overlong form.
    static constexpr std::uint32_t Minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t length = sequenceLength(static_cast<unsigned char>(bytes[i]));
        if (length == 0 || length > bytes.size() - i) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        }
        std::uint32_t value = decodeSequence(bytes.substr(i, length));
        if (value < Minimum[length]) return false;
        if (length == 3 && value >= 0xD800 && value <= 0xDFFF) return false;
        if (length == 4 && value > 0x10FFFF) return false;
        i += length;
    }
    return true;
}

}  // namespace json
