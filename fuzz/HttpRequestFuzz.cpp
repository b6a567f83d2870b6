#include "HttpRequest.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

// Any bytes: the parser must not crash, read out of bounds or hang, and a request once
// recognised must not change when more bytes arrive after it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray buffer(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto request = HttpRequest::parse(buffer);
    if (!request)
        return 0;
    if (request->body.size() > buffer.size())
        __builtin_trap();
    const auto again = HttpRequest::parse(buffer + "\r\n\r\nGET / HTTP/1.1\r\n\r\n");
    if (!again || !(*again == *request))
        __builtin_trap();
    return 0;
}
