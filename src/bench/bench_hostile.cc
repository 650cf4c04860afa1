// What hostile input costs: one shape per run, so that the peak resident
// memory printed is that shape's own.
//   bench_hostile diff-SHAPE MB [ARG]      diff on a shape below
//   bench_hostile indexed-SHAPE MB [ARG]   diff_indexed on it
//   bench_hostile indexed-table MB [MB ...] every indexed shape at each size,
//                                           each in a process of its own
//   bench_hostile patch-expand OLD_MB COPIES [MAX_LENGTH]
//   bench_hostile unimplemented KIB     (the parser's lines go to stderr)
//
// Shapes, all meant to make a generator's work grow faster than its input:
// unrelated (random against random), moved (a quarter moved to the end),
// byte-runs (runs of 'a' and 'b' against other such runs), windows (old and
// new made of ARG, default 64, distinct 16-byte windows in random order),
// periodic (period ARG bytes, new shifted by half a period), periodic-edits
// and periodic-dense (the same with a small edit every 4,500 or every 64
// bytes or so), periodic-other (new has the old period with one byte more).
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cbor/cbor_generator.h"
#include "delta/delta_apply.h"
#include "delta/delta_generate.h"
#include "delta/delta_indexed.h"

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

// Values made of `count` distinct random windows of `width` bytes, each
// window picked at random: every position looks like many others.
bytes windows(std::mt19937 &rng, const std::vector<bytes> &set, size_t n) {
    bytes out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const bytes &w = set[rng() % set.size()];
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(n);
    return out;
}

bytes periodic(const bytes &period, size_t skip, size_t n) {
    bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = period[(i + skip) % period.size()];
    return out;
}

// A small edit (1 to 8 bytes replaced, inserted or deleted) about every
// `gap` bytes.
bytes small_edits(std::mt19937 &rng, const bytes &src, size_t gap) {
    bytes out;
    out.reserve(src.size() + src.size() / 512);
    size_t i = 0;
    while (i < src.size()) {
        size_t take = std::min<size_t>(gap / 2 + rng() % gap, src.size() - i);
        out.insert(out.end(), src.begin() + static_cast<long>(i), src.begin() + static_cast<long>(i + take));
        i += take;
        if (i >= src.size()) break;
        size_t n = 1 + rng() % 8;
        switch (rng() % 3) {
            case 0:
                for (size_t k = 0; k < n; ++k) out.push_back(static_cast<uint8_t>(rng()));
                i += n;
                break;
            case 1:
                for (size_t k = 0; k < n; ++k) out.push_back(static_cast<uint8_t>(rng()));
                break;
            default:
                i += n;
        }
    }
    return out;
}

long status_kb(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long v = -1;
    size_t len = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, len) == 0) v = std::atol(line + len + 1);
    std::fclose(f);
    return v;
}

// Resets the peak resident size, so that what a call adds can be read.
long reset_peak() {
    if (FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
    return status_kb("VmRSS:");
}

double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time as well as wall time: the machine may be shared. base_kb is the
// resident size when the call started (its inputs made), -1 if unknown.
void report(const char *shape, double seconds, double cpu, const buf *result, long base_kb) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s: %.2f s (%.2f s CPU), peak resident %.0f MB", shape, seconds, cpu, usage.ru_maxrss / 1024.0);
    if (base_kb >= 0) std::printf(" (%.1f MB beyond the inputs)", (status_kb("VmHWM:") - base_kb) / 1024.0);
    std::printf(", result %s", result ? "" : "null (failed)");
    if (result) std::printf("%u bytes", result->len);
    std::printf("\n");
}

// The old and new values of a shape (the name after "diff-" or "indexed-").
bool make_shape(const std::string &name, std::mt19937 &rng, size_t n, long arg, bytes &o, bytes &m) {
    if (name == "unrelated") {
        o = random_bytes(rng, n);
        m = random_bytes(rng, n);
    } else if (name == "moved") {  // a quarter of the value moved to the end
        o = random_bytes(rng, n);
        m.assign(o.begin() + static_cast<long>(n / 4), o.end());
        m.insert(m.end(), o.begin(), o.begin() + static_cast<long>(n / 4));
    } else if (name == "byte-runs") {
        o = byte_runs(rng, n, 'a', 'b');
        m = byte_runs(rng, n, 'a', 'b');
    } else if (name == "windows") {
        std::vector<bytes> set;
        for (long k = 0; k < (arg > 0 ? arg : 64); ++k) set.push_back(random_bytes(rng, 16));
        o = windows(rng, set, n);
        m = windows(rng, set, n);
    } else if (name == "periodic" || name == "periodic-edits" || name == "periodic-dense") {
        bytes period = random_bytes(rng, static_cast<size_t>(arg > 0 ? arg : 16));
        o = periodic(period, 0, n);
        m = periodic(period, period.size() / 2, n);
        if (name != "periodic") m = small_edits(rng, m, name == "periodic-edits" ? 4500 : 64);
    } else if (name == "periodic-other") {
        // The old period with one more byte: every stretch of new shorter
        // than a period is in old, no longer one is.
        bytes period = random_bytes(rng, static_cast<size_t>(arg > 0 ? arg : 16));
        o = periodic(period, 0, n);
        period.push_back(static_cast<uint8_t>(rng()));
        m = periodic(period, 0, n);
    } else {
        return false;
    }
    return true;
}

// diff_indexed on the hostile shapes at each size, a process per run; the
// delta is applied back and checked in that process.
int indexed_table(int argc, char **argv) {
    const char *runs[][2] = {
        {"windows", "64"},        {"windows", "16"},        {"periodic", "15"},       {"periodic", "16"},
        {"periodic", "17"},       {"periodic", "31"},       {"periodic", "32"},       {"periodic", "33"},
        {"periodic-edits", "16"}, {"periodic-edits", "33"}, {"periodic-dense", "15"}, {"periodic-dense", "16"},
        {"periodic-dense", "17"}, {"periodic-dense", "32"}, {"periodic-other", "15"}, {"periodic-other", "16"},
        {"periodic-other", "17"}, {"periodic-other", "32"}, {"unrelated", "0"},       {"byte-runs", "0"}};
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return 2;
    self[len] = 0;
    int status = 0;
    std::printf("%-22s %6s %9s %9s %11s %13s\n", "shape", "MB", "CPU s", "wall s", "peak+ MB", "delta B");
    for (int a = 2; a < argc; ++a) {
        for (auto &r : runs) {
            std::string cmd = std::string("'") + self + "' indexed-" + r[0] + " " + argv[a] + " " + r[1];
            FILE *p = popen(cmd.c_str(), "r");
            if (!p) return 2;
            char line[512] = {0};
            std::string all;
            while (std::fgets(line, sizeof line, p)) all += line;
            int rc = pclose(p);
            double wall = 0, cpu = 0, peak = 0, beyond = 0;
            unsigned size = 0;
            std::string name = std::string(r[0]) + (std::strcmp(r[1], "0") ? std::string(" ") + r[1] : "");
            size_t at = all.find(": ");
            if (rc != 0 || at == std::string::npos ||
                std::sscanf(all.c_str() + at, ": %lf s (%lf s CPU), peak resident %lf MB (%lf MB beyond the "
                                              "inputs), result %u",
                            &wall, &cpu, &peak, &beyond, &size) != 5) {
                std::printf("%-22s %6s FAILED: %s\n", name.c_str(), argv[a], all.c_str());
                status = 1;
                continue;
            }
            std::printf("%-22s %6s %9.2f %9.2f %11.1f %13u\n", name.c_str(), argv[a], cpu, wall, beyond, size);
            std::fflush(stdout);
        }
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: see the head of bench_hostile.cc\n");
        return 2;
    }
    std::string shape = argv[1];
    if (shape == "indexed-table") return indexed_table(argc, argv);
    std::mt19937 rng(7);
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    double cpu_start = 0;
    long base_kb = -1;
    buf *result = nullptr;
    if (shape.rfind("indexed-", 0) == 0 || shape.rfind("diff-", 0) == 0) {
        const bool indexed = shape[0] == 'i';
        size_t n = static_cast<size_t>(std::atof(argv[2]) * (1 << 20));
        long arg = argc > 3 ? std::atol(argv[3]) : 64;
        bytes o, m;
        if (!make_shape(shape.substr(shape.find('-') + 1), rng, n, arg, o, m)) {
            std::fprintf(stderr, "unknown shape\n");
            return 2;
        }
        buf ob = view(o), mb = view(m);
        if (!indexed) {
            start = std::chrono::steady_clock::now();
            cpu_start = cpu_seconds();
            result = diff_generate_binary(&ob, &mb);
            report(shape.c_str(), elapsed(), cpu_seconds() - cpu_start, result, base_kb);
            buf_free(result);
            return 0;
        }
        base_kb = reset_peak();
        start = std::chrono::steady_clock::now();
        cpu_start = cpu_seconds();
        result = diff_generate_binary_indexed(&ob, &mb);
        double seconds = elapsed(), cpu = cpu_seconds() - cpu_start;
        long peak_kb = status_kb("VmHWM:");
        bool ok = false;
        if (result) {
            if (result->len == 1 && result->data[0] == 0xf6) {
                ok = o == m;
            } else {
                buf *back = diff_apply_binary(&ob, result);
                ok = back && back->len == m.size() && std::memcmp(back->data, m.data(), m.size()) == 0;
                buf_free(back);
            }
        }
        if (!ok) {
            std::printf("%s: ROUND TRIP FAILED\n", shape.c_str());
            buf_free(result);
            return 1;
        }
        std::printf("%s: %.2f s (%.2f s CPU), peak resident %.0f MB (%.1f MB beyond the inputs), result %u bytes\n",
                    shape.c_str(), seconds, cpu, peak_kb / 1024.0, (peak_kb - base_kb) / 1024.0, result->len);
        buf_free(result);
        return 0;
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
    report(shape.c_str(), elapsed(), cpu_seconds() - cpu_start, result, base_kb);
    buf_free(result);
    return 0;
}
