#include "NativeFraming.h"

#include <cstdint>
#include <cstring>

namespace framing {

Parsed parse(std::string_view bytes) {
    Parsed result;
    while (bytes.size() - result.consumed >= sizeof(std::uint32_t)) {
        std::uint32_t length = 0;
        std::memcpy(&length, bytes.data() + result.consumed, sizeof length);
        if (length > kMaxFrame) {
            result.oversized = true;
            break;
        }
        const std::size_t start = result.consumed + sizeof length;
        if (bytes.size() - start < length)
            break;
        result.frames.emplace_back(bytes.substr(start, length));
        result.consumed = start + length;
    }
    return result;
}

std::string encode(std::string_view body) {
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    frame.append(body);
    return frame;
}

} // namespace framing
