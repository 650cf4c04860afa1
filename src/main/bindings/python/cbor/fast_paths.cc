#include "bindings/python/cbor/fast_paths.h"

namespace {

// On unless a test turns it off; read once per dumps call.
bool fast_paths = true;

}  // namespace

extern "C" int kestrava_dumps_fast_paths(int enable) {
    const int previous = fast_paths ? 1 : 0;
    if (enable >= 0) {
        fast_paths = enable > 0;
    }
    return previous;
}

namespace kestrava {

bool dumps_fast_paths_enabled() { return fast_paths; }

}  // namespace kestrava
