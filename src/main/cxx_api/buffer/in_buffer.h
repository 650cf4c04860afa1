// InBuffer: hands the core a read-only view of a host object's bytes
// without copying them. The proxy keeps the host object alive and tells
// where its storage is; the view stays valid for the InBuffer's lifetime.
#ifndef KESTRAVA_CXX_API_IN_BUFFER_H
#define KESTRAVA_CXX_API_IN_BUFFER_H

#include <utility>

#include "core/buffer/buf.h"
#include "cxx_api/buffer/buf_view.h"

namespace kestrava {

template <typename Proxy>
class InBuffer {
public:
    using host_type = typename Proxy::host_type;

    explicit InBuffer(host_type object) : source(std::move(object)), view(source.borrow()) {}
    ~InBuffer() { buf_view_release(&view); }

    // The view points into `source`; a copy or move would need both to
    // travel together, and nothing needs that.
    InBuffer(const InBuffer &) = delete;
    InBuffer &operator=(const InBuffer &) = delete;

    const buf *get() const { return &view; }

private:
    Proxy source;  // declared first: destroyed after the view is released
    buf view;
};

}  // namespace kestrava

#endif
