// Delta generation on fixed inputs: time, MB/s of new value, delta size,
// how deep the search's chain of cuts nested and how many diagonal steps
// its passes took. Every delta is applied back and checked.
//
//   bench_diff [--shapes] [--only TEXT] [--baseline LIBRARY]
//
// --shapes adds the 16 MB shapes (near-identical, unrelated, repetitive,
// moved blocks, inserted and deleted blocks); --only runs the cases whose
// name contains TEXT. --baseline loads another build's shared core (see
// build_baseline.sh) and runs it on the same inputs in the same process,
// alternating with this build: both times (CPU time of the calling thread,
// best of several runs for short cases), their ratio, nanoseconds per
// diagonal step, and whether the two deltas are byte for byte the same.
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"
#include "core/delta/script/edit_script.h"
#include "core/delta/myers/task_list.h"

#ifndef KESTRAVA_SOURCE_DIR
#define KESTRAVA_SOURCE_DIR "."
#endif

namespace {

using bytes = std::vector<uint8_t>;

bytes random_bytes(std::mt19937 &rng, size_t n) {
    bytes v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// About one edit per 1000 bytes: replacements, insertions and deletions of
// 1 to 8 bytes.
bytes scattered_edits(std::mt19937 &rng, const bytes &src, size_t mean_gap = 1000) {
    bytes out;
    out.reserve(src.size() + src.size() / 500);
    size_t i = 0;
    while (i < src.size()) {
        size_t gap = mean_gap / 2 + rng() % mean_gap;
        size_t take = std::min(gap, src.size() - i);
        out.insert(out.end(), src.begin() + i, src.begin() + i + take);
        i += take;
        if (i >= src.size()) break;
        size_t len = 1 + rng() % 8;
        switch (rng() % 3) {
            case 0:
                for (size_t j = 0; j < len; ++j) out.push_back(static_cast<uint8_t>(rng()));
                i += len;
                break;
            case 1:
                for (size_t j = 0; j < len; ++j) out.push_back(static_cast<uint8_t>(rng()));
                break;
            default:
                i += len;
                break;
        }
    }
    return out;
}

bytes block_moved(const bytes &src, size_t from, size_t len, size_t to) {
    bytes out(src.begin(), src.begin() + from);
    out.insert(out.end(), src.begin() + from + len, src.end());
    out.insert(out.begin() + to, src.begin() + from, src.begin() + from + len);
    return out;
}

// `count` equal stretches, each with one block of min_len..max_len bytes
// inserted (new random bytes) or deleted, half of each.
bytes block_edits(std::mt19937 &rng, const bytes &src, size_t count, size_t min_len, size_t max_len) {
    std::vector<bool> inserts(count);
    for (size_t k = 0; k < count; ++k) inserts[k] = k % 2 != 0;
    std::shuffle(inserts.begin(), inserts.end(), rng);
    size_t stretch = src.size() / count;
    bytes out;
    size_t i = 0;
    for (size_t k = 0; k < count; ++k) {
        size_t n = min_len + rng() % (max_len - min_len + 1);
        size_t at = k * stretch + rng() % std::max<size_t>(1, stretch - n);
        out.insert(out.end(), src.begin() + i, src.begin() + at);
        i = at;
        if (inserts[k]) {
            bytes block = random_bytes(rng, n);
            out.insert(out.end(), block.begin(), block.end());
        } else {
            i += n;
        }
    }
    out.insert(out.end(), src.begin() + i, src.end());
    return out;
}

bytes pattern(size_t n, size_t shift) {
    static const char unit[] = "kestrel";
    bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(unit[(i + shift) % 7]);
    return v;
}

bool read_file(const std::string &path, bytes &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

buf view(const bytes &b) {
    return buf{const_cast<uint8_t *>(b.data()), static_cast<uint32_t>(b.size()), static_cast<uint32_t>(b.size())};
}

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A diff_generate_binary and the buf_free that releases its results.
struct engine {
    buf *(*generate)(const buf *, const buf *);
    void (*release)(buf *);
};

bool load_baseline(const char *path, engine &out) {
    // RTLD_LOCAL: the baseline's functions stay out of this program's
    // namespace, and its own calls bind within the library.
    void *lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return false;
    }
    out.generate = reinterpret_cast<buf *(*)(const buf *, const buf *)>(dlsym(lib, "diff_generate_binary"));
    out.release = reinterpret_cast<void (*)(buf *)>(dlsym(lib, "buf_free"));
    if (!out.generate || !out.release) {
        std::fprintf(stderr, "%s lacks diff_generate_binary or buf_free\n", path);
        return false;
    }
    return true;
}

// Seconds per call of the engine on the pair, and the delta it wrote.
// Short calls are timed in batches.
struct timing {
    double seconds = 1e300;
    bytes delta;
};

void time_once(const engine &en, const buf &o, const buf &n, size_t batch, timing &t) {
    double start = cpu_seconds();
    for (size_t i = 0; i < batch; ++i) {
        buf *d = en.generate(&o, &n);
        if (i + 1 == batch) t.delta.assign(d ? d->data : nullptr, d ? d->data + d->len : nullptr);
        en.release(d);
    }
    double s = (cpu_seconds() - start) / static_cast<double>(batch);
    if (s < t.seconds) t.seconds = s;
}

struct row {
    std::string name;
    size_t new_size;
    timing now, base;
    bool have_base;
    kestrava_myers::work_stats stats;
    bool ok;
};

row measure(const std::string &name, const bytes &o, const bytes &n, const engine *baseline) {
    buf ob = view(o), nb = view(n);
    const engine current{diff_generate_binary, buf_free};
    row r{name, n.size(), {}, {}, baseline != nullptr, {}, false};

    // One untimed call decides the batch size and the number of rounds:
    // batches of about 20 ms, many rounds for short calls (whose times vary
    // most on a busy machine), one for calls of ten seconds and more.
    double start = cpu_seconds();
    buf_free(diff_generate_binary(&ob, &nb));
    double once = cpu_seconds() - start;
    size_t batch = once > 0.02 ? 1 : static_cast<size_t>(0.02 / std::max(once, 1e-7)) + 1;
    int rounds = once > 10 ? 1 : once > 1 ? 3 : once > 0.02 ? 7 : 25;
    for (int i = 0; i < rounds; ++i) {
        if (baseline) time_once(*baseline, ob, nb, batch, r.base);
        time_once(current, ob, nb, batch, r.now);
    }

    buf d = view(r.now.delta);
    buf *back = diff_apply_binary(&ob, &d);
    bool unchanged = d.len == 1 && d.data[0] == 0xf6;
    r.ok = unchanged ? o == n : (back && back->len == n.size() && std::memcmp(back->data, n.data(), n.size()) == 0);
    buf_free(back);

    // The same search again, instrumented, for its depth and steps.
    edit_script *s = edit_script_create(&ob, &nb);
    kestrava_myers::binary_diff(&ob, 0, int32_t(o.size()), &nb, 0, int32_t(n.size()), s, INT32_MAX, 10000, 0,
                                &r.stats);
    edit_script_free(s);
    return r;
}

std::string seconds_text(double s) {
    char out[32];
    if (s < 1e-3)
        std::snprintf(out, sizeof out, "%.2f us", s * 1e6);
    else if (s < 1)
        std::snprintf(out, sizeof out, "%.2f ms", s * 1e3);
    else
        std::snprintf(out, sizeof out, "%.2f s", s);
    return out;
}

std::string per_step(double s, uint64_t steps) {
    if (steps < 1000000) return "-";
    char out[32];
    std::snprintf(out, sizeof out, "%.3f", s * 1e9 / static_cast<double>(steps));
    return out;
}

void print_header(bool base) {
    // depth: deepest nesting of middle-snake searches; diag steps: the
    // searches' work, in millions; ns/step: time over those steps.
    if (base) {
        std::printf("| %-44s | %7s | %10s | %10s | %7s | %9s | %9s | %10s | %11s | %-9s |\n", "case", "new MB",
                    "baseline", "this build", "new/old", "ns/st old", "ns/st new", "diag steps", "delta bytes",
                    "identical");
        std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(9, '-').c_str(),
                    std::string(12, '-').c_str(), std::string(12, '-').c_str(), std::string(9, '-').c_str(),
                    std::string(11, '-').c_str(), std::string(11, '-').c_str(), std::string(12, '-').c_str(),
                    std::string(13, '-').c_str(), std::string(11, '-').c_str());
    } else {
        std::printf("| %-44s | %7s | %10s | %8s | %11s | %5s | %7s | %10s | %7s |\n", "case", "new MB", "time",
                    "MB/s", "delta bytes", "depth", "pending", "diag steps", "ns/step");
        std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(9, '-').c_str(),
                    std::string(12, '-').c_str(), std::string(10, '-').c_str(), std::string(13, '-').c_str(),
                    std::string(7, '-').c_str(), std::string(9, '-').c_str(), std::string(12, '-').c_str(),
                    std::string(9, '-').c_str());
    }
}

void print(const row &r) {
    double mb = r.new_size / 1048576.0;
    uint64_t steps = r.stats.diagonals;
    if (r.have_base) {
        bool same = r.base.delta == r.now.delta;
        std::printf("| %-44s | %7.2f | %10s | %10s | %7.3f | %9s | %9s | %10.1f | %11zu | %-9s |%s\n", r.name.c_str(),
                    mb, seconds_text(r.base.seconds).c_str(), seconds_text(r.now.seconds).c_str(),
                    r.now.seconds / r.base.seconds, per_step(r.base.seconds, steps).c_str(),
                    per_step(r.now.seconds, steps).c_str(), steps / 1e6, r.now.delta.size(), same ? "yes" : "NO",
                    r.ok ? "" : " ROUND TRIP FAILED");
    } else {
        std::printf("| %-44s | %7.2f | %10s | %8.1f | %11zu | %5zu | %7zu | %10.1f | %7s |%s\n", r.name.c_str(), mb,
                    seconds_text(r.now.seconds).c_str(), r.now.seconds > 0 ? mb / r.now.seconds : 0.0,
                    r.now.delta.size(), static_cast<size_t>(r.stats.peak_level), r.stats.peak_pending, steps / 1e6,
                    per_step(r.now.seconds, steps).c_str(), r.ok ? "" : " ROUND TRIP FAILED");
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    bool shapes = false;
    const char *only = nullptr;
    engine baseline{};
    bool have_baseline = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--shapes") == 0) {
            shapes = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else if (std::strcmp(argv[i], "--baseline") == 0 && i + 1 < argc) {
            if (!load_baseline(argv[++i], baseline)) return 2;
            have_baseline = true;
        } else {
            std::fprintf(stderr, "usage: %s [--shapes] [--only TEXT] [--baseline LIBRARY]\n", argv[0]);
            return 2;
        }
    }

    std::mt19937 rng(2024);
    const size_t mb = 1u << 20;
    print_header(have_baseline);
    bool ok = true;
    auto report = [&](const std::string &name, auto make) {
        if (only && name.find(only) == std::string::npos) return;
        bytes o, n;
        make(o, n);
        row r = measure(name, o, n, have_baseline ? &baseline : nullptr);
        print(r);
        ok = ok && r.ok && (!have_baseline || r.base.delta == r.now.delta);
    };

    // Every input is made from its own seed, so that --only selects the
    // same bytes as a full run.
    auto seeded = [](unsigned seed) { return std::mt19937(seed); };
    report("10-byte values, one byte changed", [&](bytes &o, bytes &n) {
        std::mt19937 g = seeded(10);
        o = random_bytes(g, 10);
        n = o;
        n[4] ^= 0x5a;
        n.insert(n.begin() + 5, 0x01);
    });
    report("1 KB, small edits every 256 bytes", [&](bytes &o, bytes &n) {
        std::mt19937 g = seeded(11);
        o = random_bytes(g, 1024);
        n = scattered_edits(g, o, 256);
    });
    report("text: examples/ tarfile.py 3.11.2 -> 3.11.7", [&](bytes &o, bytes &n) {
        if (!read_file(KESTRAVA_SOURCE_DIR "/examples/data/tarfile-3.11.2.py.txt", o) ||
            !read_file(KESTRAVA_SOURCE_DIR "/examples/data/tarfile-3.11.7.py.txt", n))
            std::fprintf(stderr, "examples/data not found under %s\n", KESTRAVA_SOURCE_DIR);
    });
    report("text: GPL-2 -> GPL-3 licence", [&](bytes &o, bytes &n) {
        if (!read_file("/usr/share/common-licenses/GPL-2", o) || !read_file("/usr/share/common-licenses/GPL-3", n))
            std::fprintf(stderr, "text pair not found: /usr/share/common-licenses/GPL-2, GPL-3\n");
    });
    report("1 MB, 0.1% scattered small edits", [&](bytes &o, bytes &n) {
        std::mt19937 g = seeded(12);
        o = random_bytes(g, mb);
        n = scattered_edits(g, o);
    });
    report("16 MB, 0.1% scattered small edits", [&](bytes &o, bytes &n) {
        std::mt19937 g = seeded(13);
        o = random_bytes(g, 16 * mb);
        n = scattered_edits(g, o);
    });
    report("1 MB against unrelated random 1 MB", [&](bytes &o, bytes &n) {
        std::mt19937 g = seeded(14);
        o = random_bytes(g, mb);
        n = random_bytes(g, mb);
    });
    report("1 MB, 8 blocks inserted and 8 deleted", [&](bytes &o, bytes &n) {
        std::mt19937 g = seeded(15);
        o = random_bytes(g, mb);
        n = block_edits(g, o, 16, mb / 512, mb / 128);
    });
    report("1 MB repeated 7-byte pattern, shifted copy", [&](bytes &o, bytes &n) {
        o = pattern(mb, 0);
        n = pattern(mb, 3);
    });
    report("1 MB with 16 KB appended", [&](bytes &o, bytes &n) {
        std::mt19937 g = seeded(18);
        o = random_bytes(g, mb);
        n = o;
        bytes tail = random_bytes(g, 16384);
        n.insert(n.end(), tail.begin(), tail.end());
    });
    if (shapes) {
        report("16 MB near-identical (one byte changed)", [&](bytes &o, bytes &n) {
            std::mt19937 g = seeded(13);
            o = random_bytes(g, 16 * mb);
            n = o;
            n[8 * mb] ^= 0x55;
        });
        report("16 MB repetitive pattern, shifted copy", [&](bytes &o, bytes &n) {
            o = pattern(16 * mb, 0);
            n = pattern(16 * mb, 3);
        });
        report("16 MB, 1 MB block moved", [&](bytes &o, bytes &n) {
            std::mt19937 g = seeded(13);
            o = random_bytes(g, 16 * mb);
            n = block_moved(o, 3 * mb, mb, 11 * mb);
        });
        report("16 MB, 2 MB block moved", [&](bytes &o, bytes &n) {
            std::mt19937 g = seeded(13);
            o = random_bytes(g, 16 * mb);
            n = block_moved(o, 2 * mb + 123457, 2 * mb, 9 * mb + 654321);
        });
        report("16 MB, 8 blocks inserted and 8 deleted", [&](bytes &o, bytes &n) {
            std::mt19937 g = seeded(16);
            o = random_bytes(g, 16 * mb);
            n = block_edits(g, o, 16, 16 * mb / 512, 16 * mb / 128);
        });
        report("16 MB against unrelated random 16 MB", [&](bytes &o, bytes &n) {
            std::mt19937 g = seeded(17);
            o = random_bytes(g, 16 * mb);
            n = random_bytes(g, 16 * mb);
        });
    }
    return ok ? 0 : 1;
}
