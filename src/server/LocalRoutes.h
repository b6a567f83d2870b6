#pragma once

struct HttpRequest;
class LocalConnection;
class QString;

// The loopback API. Called on the server thread once per connection with its parsed request;
// ends in exactly one answer through `connection`, or opens an event stream. Routes that need
// the core hop to the main thread, and long work belongs on the background pool (QThreadPool);
// either way the answer is given through `connection`, which hops back to the server thread.
//
// Guards run first: a Host header that does not name this computer's loopback address is
// refused (DNS rebinding), and so is a browser page from a foreign origin on every route that
// can read the user's context or act.
void route(const HttpRequest& request, const LocalConnection& connection);

// Whether a Host header value names 127.0.0.1, localhost or [::1], with any port or none.
bool isLoopbackHost(const QString& host);

// Whether an Origin header value is a loopback page or the origin of `trusted` (a URL).
bool isLoopbackOrigin(const QString& origin);
bool isSameOrigin(const QString& origin, const QString& trusted);
