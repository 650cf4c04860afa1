// Delta generation on fixed inputs: time, MB/s of new value, delta size and
// how deep the search's chain of cuts nested. Every delta is applied back
// and checked. With --shapes, also runs the 16 MB stack-depth shapes
// (near-identical, unrelated random, repetitive, one large block moved).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "delta/delta_apply.h"
#include "delta/delta_generate.h"
#include "delta/edit_script.h"
#include "delta/myers_work.h"

namespace {

using bytes = std::vector<uint8_t>;
using clock_type = std::chrono::steady_clock;

bytes random_bytes(std::mt19937 &rng, size_t n) {
    bytes v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// About one edit per 1000 bytes: replacements, insertions and deletions of
// 1 to 8 bytes.
bytes scattered_edits(std::mt19937 &rng, const bytes &src) {
    bytes out;
    out.reserve(src.size() + src.size() / 500);
    size_t i = 0;
    while (i < src.size()) {
        size_t gap = 500 + rng() % 1000;
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

bytes pattern(size_t n, size_t shift) {
    static const char unit[] = "kestrel";
    bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(unit[(i + shift) % 7]);
    return v;
}

bool read_file(const char *path, bytes &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

struct row {
    std::string name;
    size_t old_size, new_size, delta_size;
    double seconds;
    kestrava_myers::work_stats stats;
    bool ok;
};

buf view(const bytes &b) {
    return buf{const_cast<uint8_t *>(b.data()), static_cast<uint32_t>(b.size()), static_cast<uint32_t>(b.size())};
}

row measure(const std::string &name, const bytes &o, const bytes &n) {
    buf ob = view(o), nb = view(n);
    row r{name, o.size(), n.size(), 0, 0, {}, false};
    auto start = clock_type::now();
    buf *d = diff_generate_binary(&ob, &nb);
    r.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    if (!d) return r;
    r.delta_size = d->len;
    buf *back = diff_apply_binary(&ob, d);
    bool unchanged = d->len == 1 && d->data[0] == 0xf6;
    r.ok = unchanged ? o == n : (back && back->len == n.size() && std::memcmp(back->data, n.data(), n.size()) == 0);
    buf_free(back);
    buf_free(d);

    // The same search again, instrumented, for its depth.
    edit_script *s = edit_script_create(&ob, &nb);
    kestrava_myers::binary_diff(&ob, 0, int32_t(o.size()), &nb, 0, int32_t(n.size()), s, INT32_MAX, 10000, 0,
                                &r.stats);
    edit_script_free(s);
    return r;
}

void print(const row &r) {
    double mb = r.new_size / 1048576.0;
    std::printf("| %-44s | %8.2f | %9.3f | %8.1f | %11zu | %5zu | %7zu | %10.1f |%s\n", r.name.c_str(), mb,
                r.seconds, r.seconds > 0 ? mb / r.seconds : 0.0, r.delta_size,
                static_cast<size_t>(r.stats.peak_level), r.stats.peak_pending, r.stats.diagonals / 1e6,
                r.ok ? "" : " ROUND TRIP FAILED");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    bool shapes = argc > 1 && std::strcmp(argv[1], "--shapes") == 0;
    std::mt19937 rng(2024);
    const size_t mb = 1u << 20;
    // depth: deepest nesting of middle-snake searches (what nested calls
    // would have stacked); pending: most tasks waiting at once; diagonal
    // steps: the searches' work, in millions.
    std::printf("| %-44s | %8s | %9s | %8s | %11s | %5s | %7s | %10s |\n", "case", "new MB", "seconds", "MB/s",
                "delta bytes", "depth", "pending", "diag steps");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(10, '-').c_str(),
                std::string(11, '-').c_str(), std::string(10, '-').c_str(), std::string(13, '-').c_str(),
                std::string(7, '-').c_str(), std::string(9, '-').c_str(), std::string(12, '-').c_str());

    bool ok = true;
    auto report = [&](const std::string &name, const bytes &o, const bytes &n) {
        row r = measure(name, o, n);
        print(r);
        ok = ok && r.ok;
    };

    bytes big = random_bytes(rng, 16 * mb);
    report("16 MB, 0.1% scattered small edits", big, scattered_edits(rng, big));
    report("16 MB, 1 MB block moved", big, block_moved(big, 3 * mb, mb, 11 * mb));
    report("1 MB against unrelated random 1 MB", random_bytes(rng, mb), random_bytes(rng, mb));
    report("1 MB repeated 7-byte pattern, shifted copy", pattern(mb, 0), pattern(mb, 3));
    bytes text_old, text_new;
    if (read_file("/usr/share/common-licenses/GPL-2", text_old) &&
        read_file("/usr/share/common-licenses/GPL-3", text_new))
        report("text: GPL-2 -> GPL-3 licence", text_old, text_new);
    else
        std::printf("(text pair not found: /usr/share/common-licenses/GPL-2, GPL-3)\n");

    if (shapes) {
        report("16 MB near-identical (one byte changed)", big, [&] {
            bytes v = big;
            v[8 * mb] ^= 0x55;
            return v;
        }());
        report("16 MB repetitive pattern, shifted copy", pattern(16 * mb, 0), pattern(16 * mb, 3));
        report("16 MB, 4 MB block moved", big, block_moved(big, 1 * mb, 4 * mb, 10 * mb));
        report("16 MB against unrelated random 16 MB", big, random_bytes(rng, 16 * mb));
    }
    return ok ? 0 : 1;
}
