// Throughput of delta application: a 16 MB old value and a delta of about
// 2,000 copies and inserts, beside a plain memcpy of the same output size.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/cbor/cbor_generator.h"
#include "core/delta/delta_apply.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

int main() {
    const uint32_t old_size = 16u << 20;
    std::mt19937 rng(42);
    std::vector<uint8_t> old_value(old_size);
    for (auto &b : old_value) b = static_cast<uint8_t>(rng());

    // 1,000 copies of about 16 KB each (spread over the old value) and 1,000
    // inserts of up to 64 bytes: a 16 MB new value.
    cbor_generator *g = cbor_generator_create();
    uint64_t out_size = 0;
    std::vector<uint8_t> insert(64);
    for (int i = 0; i < 1000; i++) {
        uint32_t len = 16000 + rng() % 1000;
        uint32_t off = rng() % (old_size - len);
        cbor_write_uint(g, off);
        cbor_write_uint(g, len);
        uint32_t ins = 1 + rng() % 64;
        for (auto &b : insert) b = static_cast<uint8_t>(rng());
        cbor_write_byte_string(g, insert.data(), ins);
        out_size += len + ins;
    }
    buf old_view{old_value.data(), old_size, old_size};
    buf delta{g->data, g->len, g->len};

    const int reps = 20;
    double apply_best = 1e9, copy_best = 1e9;
    std::vector<uint8_t> sink(out_size);
    uint64_t check = 0;
    for (int r = 0; r < reps; r++) {
        auto start = clock_type::now();
        buf *out = diff_apply_binary(&old_view, &delta);
        double t = seconds_since(start);
        if (out == nullptr || out->len != out_size) {
            fprintf(stderr, "application failed\n");
            return 1;
        }
        check += out->data[r];
        buf_free(out);
        if (t < apply_best) apply_best = t;

        // Reference: the same number of output bytes through memcpy into fresh
        // memory, as the application must also do.
        start = clock_type::now();
        uint8_t *fresh = static_cast<uint8_t *>(malloc(out_size));
        memcpy(fresh, old_value.data(), out_size);
        check += fresh[r];
        free(fresh);
        t = seconds_since(start);
        if (t < copy_best) copy_best = t;
    }
    double mb = static_cast<double>(out_size) / 1e6;
    printf("delta: %u bytes, 2000 items; output %.1f MB (best of %d)\n", g->len, mb, reps);
    printf("%-28s %10s %10s\n", "", "ms", "GB/s");
    printf("%-28s %10.2f %10.2f\n", "diff_apply_binary", apply_best * 1e3, mb / 1e3 / apply_best);
    printf("%-28s %10.2f %10.2f\n", "malloc+memcpy, same size", copy_best * 1e3, mb / 1e3 / copy_best);
    printf("ratio apply/memcpy time: %.2f  (checksum %llu)\n", apply_best / copy_best,
           static_cast<unsigned long long>(check));
    cbor_generator_free(g);
    return 0;
}
