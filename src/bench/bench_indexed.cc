// The indexed generator on file pairs: delta size, time (best of three, wall
// clock and CPU time of the process) and peak memory beyond the inputs;
// every delta is applied back and checked.
//
//   bench_indexed [--diff] OLD NEW [OLD NEW ...]
//
// With --diff the Myers generator (diff_generate_binary) runs instead.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/delta/delta_apply.h"
#include "core/delta/delta_generate.h"
#include "core/delta/delta_indexed.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes read_file(const char *path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Resident set size or its peak (VmHWM) in KB, from /proc/self/status.
long status_kb(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, strlen(field), field) == 0) return std::stol(line.substr(strlen(field) + 1));
    return -1;
}

double cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

}  // namespace

int main(int argc, char **argv) {
    bool myers_only = argc > 1 && std::strcmp(argv[1], "--diff") == 0;
    int first = myers_only ? 2 : 1;
    int status = 0;
    for (int a = first; a + 1 < argc; a += 2) {
        bytes o = read_file(argv[a]), n = read_file(argv[a + 1]);
        buf ob{o.data(), static_cast<uint32_t>(o.size()), static_cast<uint32_t>(o.size())};
        buf nb{n.data(), static_cast<uint32_t>(n.size()), static_cast<uint32_t>(n.size())};
        auto generate = [&] {
            return myers_only ? diff_generate_binary(&ob, &nb) : diff_generate_binary_indexed(&ob, &nb);
        };
        reset_peak();
        long base = status_kb("VmRSS:");
        buf *d = generate();
        long peak = status_kb("VmHWM:") - base;
        double best = 1e30, best_cpu = 1e30;
        for (int r = 0; r < 3; ++r) {
            auto t0 = std::chrono::steady_clock::now();
            double c0 = cpu_ms();
            buf *again = generate();
            double cpu = cpu_ms() - c0;
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (ms < best) best = ms;
            if (cpu < best_cpu) best_cpu = cpu;
            bool same = again && d && again->len == d->len && std::memcmp(again->data, d->data, d->len) == 0;
            buf_free(again);
            if (!same) {
                std::printf("%s: not deterministic\n", argv[a + 1]);
                status = 1;
            }
        }
        bool ok = false;
        if (d) {
            if (d->len == 1 && d->data[0] == 0xf6) {
                ok = o == n;
            } else {
                buf *back = diff_apply_binary(&ob, d);
                ok = back && back->len == n.size() && std::memcmp(back->data, n.data(), n.size()) == 0;
                buf_free(back);
            }
        }
        std::printf("%-40s %s %10u B %9.1f ms (cpu %9.1f ms) %7.1f MB/s peak+%8.1f MB (%.2fx old) %s\n",
                    argv[a + 1], myers_only ? "diff        " : "diff_indexed", d ? d->len : 0u, best, best_cpu,
                    n.size() / best / 1e3,
                    peak / 1024.0, o.empty() ? 0.0 : peak * 1024.0 / o.size(), ok ? "ok" : "FAILED");
        if (!ok) status = 1;
        buf_free(d);
    }
    return status;
}
