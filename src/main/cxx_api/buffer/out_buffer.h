// OutBuffer: owns a result buffer that the core produced, until the host
// side lets go of it. It may hold no buffer at all when the core returned
// none; readers must check `get()` for null.
#ifndef KESTRAVA_CXX_API_OUT_BUFFER_H
#define KESTRAVA_CXX_API_OUT_BUFFER_H

#include <memory>

#include "core/buffer/buf.h"

namespace kestrava {

template <typename Proxy, typename HostBytes>
class OutBuffer {
public:
    using release_fn = void (*)(buf *);

    OutBuffer(buf *result, release_fn release) : result(result, release) {}

    OutBuffer(OutBuffer &&other) noexcept : result(std::move(other.result)) {}
    OutBuffer &operator=(OutBuffer &&other) noexcept {
        result = std::move(other.result);
        return *this;
    }
    OutBuffer(const OutBuffer &) = delete;
    OutBuffer &operator=(const OutBuffer &) = delete;

    const buf *get() const { return result.get(); }

private:
    std::unique_ptr<buf, release_fn> result;
};

}  // namespace kestrava

#endif
