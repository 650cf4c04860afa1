// Random and mutation-derived value pairs for the delta tests.
#ifndef KESTRAVA_TEST_PAIR_GEN_H
#define KESTRAVA_TEST_PAIR_GEN_H

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace pairs {

using bytes = std::vector<uint8_t>;

// Sanitizer builds run the same cases on smaller values.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kScale = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kScale = 4;
#else
constexpr size_t kScale = 1;
#endif
#else
constexpr size_t kScale = 1;
#endif

inline bytes random_bytes(std::mt19937 &rng, size_t n, unsigned alphabet) {
    bytes out(n);
    for (auto &b : out) b = static_cast<uint8_t>(rng() % alphabet);
    return out;
}

inline size_t below(std::mt19937 &rng, size_t n) { return n == 0 ? 0 : rng() % n; }

// Applies `edits` random edits: insertions, deletions, replacements, block
// moves, duplicated blocks and runs of one repeated byte.
inline bytes mutate(std::mt19937 &rng, bytes v, int edits, size_t max_run, unsigned alphabet) {
    for (int i = 0; i < edits; ++i) {
        size_t pos = below(rng, v.size() + 1);
        size_t len = 1 + below(rng, max_run);
        switch (rng() % 6) {
            case 0: {
                bytes ins = random_bytes(rng, len, alphabet);
                v.insert(v.begin() + pos, ins.begin(), ins.end());
                break;
            }
            case 1:
                v.erase(v.begin() + pos, v.begin() + std::min(v.size(), pos + len));
                break;
            case 2:
                for (size_t j = pos; j < std::min(v.size(), pos + len); ++j)
                    v[j] = static_cast<uint8_t>(rng() % alphabet);
                break;
            case 3: {
                size_t end = std::min(v.size(), pos + len);
                bytes block(v.begin() + pos, v.begin() + end);
                v.erase(v.begin() + pos, v.begin() + end);
                size_t to = below(rng, v.size() + 1);
                v.insert(v.begin() + to, block.begin(), block.end());
                break;
            }
            case 4: {
                size_t end = std::min(v.size(), pos + len);
                bytes block(v.begin() + pos, v.begin() + end);
                v.insert(v.begin() + below(rng, v.size() + 1), block.begin(), block.end());
                break;
            }
            default:
                v.insert(v.begin() + pos, len, static_cast<uint8_t>(rng() % alphabet));
                break;
        }
    }
    return v;
}

// One pair of a mixed population: unrelated values, edited copies, empty
// values and repeated patterns, over several alphabet sizes.
inline void make_pair(std::mt19937 &rng, size_t max_size, bytes &old_v, bytes &new_v) {
    static const unsigned alphabets[] = {2, 4, 16, 256};
    unsigned alphabet = alphabets[rng() % 4];
    size_t n = below(rng, max_size + 1);
    switch (rng() % 8) {
        case 0:
            old_v = random_bytes(rng, n, alphabet);
            new_v = random_bytes(rng, below(rng, max_size + 1), alphabet);
            break;
        case 1:
            old_v = random_bytes(rng, n, alphabet);
            new_v = (rng() % 2) ? bytes{} : old_v;
            if (rng() % 2) std::swap(old_v, new_v);
            break;
        case 2: {
            size_t period = 1 + below(rng, 9);
            bytes unit = random_bytes(rng, period, alphabet);
            old_v.clear();
            while (old_v.size() < n) old_v.push_back(unit[old_v.size() % period]);
            new_v = mutate(rng, bytes(old_v.begin() + std::min(old_v.size(), below(rng, period + 1)), old_v.end()),
                           static_cast<int>(below(rng, 4)), 8, alphabet);
            break;
        }
        default:
            old_v = random_bytes(rng, n, alphabet);
            new_v = mutate(rng, old_v, 1 + static_cast<int>(below(rng, 1 + n / 16)), 1 + below(rng, 64), alphabet);
            break;
    }
}

// Shapes that drive the search's passes differently, `size` bytes or so:
// 0 small edits scattered along a copy (after long snakes the diagonals'
// positions lie in clusters far apart), 1 a block moved, 2 blocks inserted
// and deleted, 3 unrelated values, 4 a repeating pattern against a shifted
// copy with a few edits.
const int kShapes = 5;

inline void make_shape(std::mt19937 &rng, int shape, size_t size, unsigned alphabet, bytes &old_v, bytes &new_v) {
    old_v = random_bytes(rng, size, alphabet);
    switch (shape) {
        case 0: {
            new_v.clear();
            size_t gap = 8 + below(rng, 120);
            for (size_t i = 0; i < size;) {
                size_t take = std::min(size - i, gap / 2 + below(rng, gap));
                new_v.insert(new_v.end(), old_v.begin() + i, old_v.begin() + i + take);
                i += take;
                size_t len = 1 + below(rng, 6);
                switch (rng() % 3) {
                    case 0: i += len; break;
                    case 1: break;
                    default: i += len / 2; break;
                }
                bytes ins = random_bytes(rng, rng() % 3 == 0 ? 0 : len, alphabet);
                new_v.insert(new_v.end(), ins.begin(), ins.end());
            }
            break;
        }
        case 1: {
            size_t len = 1 + below(rng, size / 3 + 1), from = below(rng, size - len + 1);
            bytes block(old_v.begin() + from, old_v.begin() + from + len);
            new_v = old_v;
            new_v.erase(new_v.begin() + from, new_v.begin() + from + len);
            size_t to = below(rng, new_v.size() + 1);
            new_v.insert(new_v.begin() + to, block.begin(), block.end());
            break;
        }
        case 2: {
            new_v = old_v;
            for (int k = 0; k < 4; ++k) {
                size_t len = 1 + below(rng, size / 16 + 1), at = below(rng, new_v.size() + 1);
                if (k % 2) {
                    bytes ins = random_bytes(rng, len, alphabet);
                    new_v.insert(new_v.begin() + at, ins.begin(), ins.end());
                } else {
                    new_v.erase(new_v.begin() + at, new_v.begin() + std::min(new_v.size(), at + len));
                }
            }
            break;
        }
        case 3:
            new_v = random_bytes(rng, size / 2 + below(rng, size + 1), alphabet);
            break;
        default: {
            size_t period = 1 + below(rng, 40);
            bytes unit = random_bytes(rng, period, alphabet);
            for (size_t i = 0; i < size; ++i) old_v[i] = unit[i % period];
            size_t shift = below(rng, period + 1);
            new_v = mutate(rng, bytes(old_v.begin() + std::min(size, shift), old_v.end()), 3, 6, alphabet);
            break;
        }
    }
}

}  // namespace pairs

#endif
