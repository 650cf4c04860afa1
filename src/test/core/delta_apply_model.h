// An independent model of the delta reader, written from the format rules:
// heads decoded by hand, so that the table-driven parser is checked against
// something that does not share its code. Shared by the unit tests and the
// patching fuzz target.
#ifndef KESTRAVA_TEST_DELTA_APPLY_MODEL_H
#define KESTRAVA_TEST_DELTA_APPLY_MODEL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace model {

using bytes = std::vector<uint8_t>;

// nullopt stands for a failed application; so does an output longer than
// `max_length` (any such output fails, wherever it would cross the bound).
inline std::optional<bytes> apply(const bytes &old_value, const bytes &d, uint64_t max_length = UINT64_MAX) {
    if (d == bytes{0xf6}) {
        if (old_value.size() > max_length) return std::nullopt;
        return old_value;
    }
    bytes out;
    size_t pos = 0;
    struct item {
        int major;
        uint64_t arg;
        bool indefinite;
        size_t body;
    };
    auto next = [&](item &it) -> int {  // 1 item, 0 end, -1 rejected
        if (pos >= d.size()) return 0;
        uint8_t ib = d[pos++];
        it = {ib >> 5, 0, false, 0};
        int info = ib & 31;
        if (it.major == 7) {
            int k = ib == 0xf9 ? 2 : ib == 0xfa ? 4 : ib == 0xfb ? 8 : 0;
            if (d.size() - pos < static_cast<size_t>(k)) return -1;
            pos += k;
            return 1;
        }
        if (it.major == 6 || info >= 28) {
            // Tags, indefinite starts and reserved codes are one byte; a
            // reserved code keeps its major type with an argument of 0.
            it.indefinite = info == 31 && it.major >= 2 && it.major <= 5;
            return 1;
        }
        if (info < 24) {
            it.arg = static_cast<uint64_t>(info);
        } else {
            size_t k = size_t{1} << (info - 24);
            if (d.size() - pos < k) return -1;
            for (size_t i = 0; i < k; i++) it.arg = it.arg << 8 | d[pos++];
        }
        if (it.major == 2 || it.major == 3) {
            if (it.arg > d.size() - pos) return -1;
            it.body = pos;
            pos += static_cast<size_t>(it.arg);
        }
        return 1;
    };
    for (;;) {
        item it;
        int r = next(it);
        if (r == 0) return out;
        if (r < 0) return std::nullopt;
        if (it.major == 0) {
            item len;
            if (next(len) != 1 || len.major != 0) return std::nullopt;
            if (it.arg > UINT32_MAX || len.arg > UINT32_MAX || it.arg + len.arg > old_value.size()) {
                return std::nullopt;
            }
            if (out.size() + len.arg > max_length) return std::nullopt;
            out.insert(out.end(), old_value.begin() + static_cast<ptrdiff_t>(it.arg),
                       old_value.begin() + static_cast<ptrdiff_t>(it.arg + len.arg));
        } else if ((it.major == 2 || it.major == 3) && !it.indefinite) {
            if (out.size() + it.arg > max_length) return std::nullopt;
            out.insert(out.end(), d.begin() + static_cast<ptrdiff_t>(it.body),
                       d.begin() + static_cast<ptrdiff_t>(it.body + it.arg));
        }
    }
}

}  // namespace model

#endif
