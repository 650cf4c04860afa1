// DumpsValue: the thirteen kinds of value `dumps` accepts, and the rule that
// matches a Python object to one of them. The rule is the binding library's
// two-pass conversion of a tagged union (first pass without implicit
// conversions, second with), with two corrections:
// - integer-like objects with __index__ (numpy integers) are accepted by the
//   64-bit integer alternatives in the first pass on every interpreter, so
//   they never fall through to the boolean alternative;
// - a bytearray is copied, so that Python code running later in the same
//   call cannot resize it under the view.
#ifndef KESTRAVA_PYTHON_DUMPS_VALUE_H
#define KESTRAVA_PYTHON_DUMPS_VALUE_H

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace kestrava {

using DumpsValue = std::variant<pybind11::bool_, pybind11::float_, pybind11::int_, pybind11::list,
                                pybind11::tuple, pybind11::dict, pybind11::bytes, pybind11::str,
                                pybind11::none, bool, uint64_t, int64_t, std::string_view>;

// Matches `object` to an alternative; false when none accepts it. A
// bytearray's contents are copied into `storage`, which the string-view
// alternative then refers to, so `storage` must outlive `out`.
bool match_dumps_value(pybind11::handle object, DumpsValue &out, std::string &storage);

}  // namespace kestrava

namespace pybind11 {
namespace detail {

// The argument caster for `dumps(value, ...)`: same signature text as the
// library's union caster, matching by the rule above.
template <>
struct type_caster<kestrava::DumpsValue> {
    PYBIND11_TYPE_CASTER(kestrava::DumpsValue, variant_caster<kestrava::DumpsValue>::name);

    bool load(handle src, bool /* convert */) { return kestrava::match_dumps_value(src, value, storage); }

private:
    std::string storage;
};

}  // namespace detail
}  // namespace pybind11

#endif
