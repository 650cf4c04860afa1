// A short description of a Python object for error messages.
#ifndef KESTRAVA_PYTHON_DESCRIBE_OBJECT_H
#define KESTRAVA_PYTHON_DESCRIBE_OBJECT_H

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

namespace kestrava {

// At most `limit` bytes of the object's str() text in UTF-8, cut back to a
// character boundary; "failed with ..." when str() itself fails. Never
// raises for a failure of the object's own text conversion.
std::string describe_object(pybind11::handle object, std::size_t limit);

// The longest prefix of `text` of at most `limit` bytes that does not end
// inside a UTF-8 sequence.
std::string utf8_prefix(const std::string &text, std::size_t limit);

}  // namespace kestrava

#endif
