// The protocol's generated marshalling tables, built as C++ (the project has no C compiler set
// up); the header first, so the tables get the header's external linkage.
#include "fake-input-client-protocol.h"

// Its hidden-visibility marker on an object already declared extern means nothing to C++.
#pragma GCC diagnostic ignored "-Wattributes"
extern "C" {
#include "fake-input-protocol.c"
}
