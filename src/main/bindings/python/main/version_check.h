// The import-time interpreter check, kept free of Python headers so that it
// can be exercised with made-up version strings.
#ifndef KESTRAVA_PYTHON_VERSION_CHECK_H
#define KESTRAVA_PYTHON_VERSION_CHECK_H

#include <cstring>
#include <string>

namespace kestrava {

// `compiled` is "MAJOR.MINOR" of the interpreter the module was built for,
// `running` the running interpreter's full version string ("3.11.7 (main,
// ..."). They match when `running` starts with `compiled` and the next
// character is not a digit, so "3.1" does not accept "3.10.2".
inline bool python_version_matches(const char *compiled, const char *running) {
    const size_t n = std::strlen(compiled);
    if (std::strncmp(running, compiled, n) != 0) {
        return false;
    }
    const char next = running[n];
    return !(next >= '0' && next <= '9');
}

inline std::string python_version_mismatch_message(const char *compiled, const char *running) {
    return std::string("Python version mismatch: module was compiled for Python ") + compiled +
           ", but the interpreter version is incompatible: " + running + ".";
}

}  // namespace kestrava

#endif
