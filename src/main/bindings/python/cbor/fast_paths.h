// Whether dumps writes the common built-in types (exactly str, int, float,
// bool, None, bytes, list, tuple, dict) through its shortcuts, or every
// element through the general matching. Both give the same bytes, errors and
// Python calls; the switch exists so that tests can check exactly that.
#ifndef KESTRAVA_PYTHON_FAST_PATHS_H
#define KESTRAVA_PYTHON_FAST_PATHS_H

// For tests only, through the module's shared object (ctypes): enable > 0
// turns the shortcuts on, 0 off, < 0 leaves them; returns the previous state
// (1 on, 0 off). Not part of the Python API.
extern "C" __attribute__((visibility("default"))) int kestrava_dumps_fast_paths(int enable);

namespace kestrava {

bool dumps_fast_paths_enabled();

}  // namespace kestrava

#endif
