#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The browsers' native messaging framing: a 4-byte length in the machine's own byte order, then
// that many bytes of UTF-8 JSON. The host and the agent speak it on both of their links.
namespace framing {

// Both browsers allow 1 MB towards a host; ours only ever carries one tab report, and a peer
// that sends more is broken or hostile.
inline constexpr std::size_t kMaxFrame = 64 * 1024;

struct Parsed {
    std::vector<std::string> frames; // complete bodies, in order
    std::size_t consumed = 0;        // bytes of the input they took; the rest waits for more
    bool oversized = false;          // a header announced more than kMaxFrame: the stream is lost
};

// Splits what has arrived so far into complete frames. Pure: the caller keeps the unconsumed
// tail and calls again with more bytes appended. Stops at an oversized header, since nothing
// after it can be framed again.
Parsed parse(std::string_view bytes);

// One frame for `body`, which must not exceed kMaxFrame.
std::string encode(std::string_view body);

} // namespace framing
