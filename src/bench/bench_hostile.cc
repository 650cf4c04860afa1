// What hostile input costs: one shape per run, so that the peak resident
// memory printed is that shape's own.
//   bench_hostile diff-unrelated|diff-moved|diff-byte-runs MB
//   bench_hostile patch-expand OLD_MB COPIES [MAX_LENGTH]
//   bench_hostile unimplemented KIB     (the parser's lines go to stderr)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/cbor/cbor_generator.h"
#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"

namespace {

using bytes = std::vector<uint8_t>;

buf view(const bytes &b) {
    return buf{const_cast<uint8_t *>(b.data()), static_cast<uint32_t>(b.size()), static_cast<uint32_t>(b.size())};
}

bytes random_bytes(std::mt19937 &rng, size_t n) {
    bytes out(n);
    for (auto &b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Runs of one byte with random lengths, beside runs of another.
bytes byte_runs(std::mt19937 &rng, size_t n, uint8_t a, uint8_t b) {
    bytes out;
    while (out.size() < n) out.insert(out.end(), 1 + rng() % 4096, out.size() % 2 ? a : b);
    out.resize(n);
    return out;
}

double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time as well as wall time: the machine may be shared.
void report(const char *shape, double seconds, double cpu, const buf *result) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s: %.2f s (%.2f s CPU), peak resident %.0f MB, result %s", shape, seconds, cpu,
                usage.ru_maxrss / 1024.0, result ? "" : "null (failed)");
    if (result) std::printf("%u bytes", result->len);
    std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: see the head of bench_hostile.cc\n");
        return 2;
    }
    std::string shape = argv[1];
    std::mt19937 rng(7);
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    double cpu_start = 0;
    buf *result = nullptr;
    if (shape.rfind("diff-", 0) == 0) {
        size_t n = static_cast<size_t>(std::atof(argv[2]) * (1 << 20));
        bytes o, m;
        if (shape == "diff-unrelated") {
            o = random_bytes(rng, n);
            m = random_bytes(rng, n);
        } else if (shape == "diff-moved") {  // a quarter of the value moved to the end
            o = random_bytes(rng, n);
            m.assign(o.begin() + static_cast<long>(n / 4), o.end());
            m.insert(m.end(), o.begin(), o.begin() + static_cast<long>(n / 4));
        } else if (shape == "diff-byte-runs") {
            o = byte_runs(rng, n, 'a', 'b');
            m = byte_runs(rng, n, 'a', 'b');
        } else {
            std::fprintf(stderr, "unknown shape\n");
            return 2;
        }
        buf ob = view(o), mb = view(m);
        start = std::chrono::steady_clock::now();
        cpu_start = cpu_seconds();
        result = diff_generate_binary(&ob, &mb);
    } else if (shape == "patch-expand") {
        bytes o(static_cast<size_t>(std::atof(argv[2]) * (1 << 20)), 'x');
        long copies = std::atol(argv[3]);
        cbor_generator *g = cbor_generator_create();
        for (long i = 0; i < copies; i++) {
            cbor_write_uint(g, 0);
            cbor_write_uint(g, o.size());
        }
        bytes d(g->data, g->data + g->len);
        cbor_generator_free(g);
        buf ob = view(o), db = view(d);
        std::printf("delta: %zu bytes, would expand to %.2f GB\n", d.size(), copies * double(o.size()) / 1e9);
        start = std::chrono::steady_clock::now();
        cpu_start = cpu_seconds();
        result = argc > 4 ? diff_apply_binary_limited(&ob, &db, std::strtoull(argv[4], nullptr, 10))
                          : diff_apply_binary(&ob, &db);
    } else if (shape == "unimplemented") {
        bytes d(static_cast<size_t>(std::atol(argv[2])) << 10);
        for (auto &b : d) b = static_cast<uint8_t>(0xe0 + rng() % 20);  // 0xe0-0xf3
        bytes o;
        buf ob = view(o), db = view(d);
        start = std::chrono::steady_clock::now();
        cpu_start = cpu_seconds();
        result = diff_apply_binary(&ob, &db);
    } else {
        std::fprintf(stderr, "unknown shape\n");
        return 2;
    }
    report(shape.c_str(), elapsed(), cpu_seconds() - cpu_start, result);
    buf_free(result);
    return 0;
}
