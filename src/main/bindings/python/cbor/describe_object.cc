#include "bindings/python/cbor/describe_object.h"

#include <exception>

namespace py = pybind11;

namespace kestrava {

std::string utf8_prefix(const std::string &text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t cut = limit;
    // Step back over continuation bytes (10xxxxxx) to the start of the
    // character the cut falls in; that character is left out whole.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

std::string describe_object(py::handle object, std::size_t limit) {
    std::string text;
    try {
        text = py::str(object).cast<std::string>();
    } catch (const std::exception &e) {
        text = std::string("failed with ") + e.what();
    } catch (...) {
        text = "failed with unknown exception";
    }
    return utf8_prefix(text, limit);
}

}  // namespace kestrava
