/* Internal to the delta engine: whether this processor, and the system
   running it, can run the AVX-512 search passes. Read with cpuid rather
   than the compiler's feature test, whose table is filled by a runtime
   that not every toolchain links in (the wheels' one never fills it). */
#ifndef KESTRAVA_CPU_FEATURES_H
#define KESTRAVA_CPU_FEATURES_H

#include <stdint.h>

namespace kestrava_myers {

// What cpuid and xgetbv report, as far as the passes are concerned.
struct cpu_registers {
    uint32_t max_leaf;              // leaf 0: eax
    uint32_t leaf1_ecx;             // leaf 1: ecx
    uint32_t leaf7_ebx, leaf7_ecx;  // leaf 7, subleaf 0 (0 where max_leaf < 7)
    uint64_t xcr0;                  // xgetbv(0) (0 where the system has not enabled xsave)
};

// The passes use AVX-512 F, CD, BW, VL and VBMI; the system must also save
// the opmask and the full 512-bit registers on a context switch (XCR0: SSE,
// AVX, opmask, ZMM_Hi256 and Hi16_ZMM state), else they are unusable.
inline bool avx512_passes_supported(const cpu_registers &r) {
    const uint32_t osxsave = 1u << 27;
    const uint64_t zmm_state = 0xe6;  // XCR0 bits 1, 2, 5, 6, 7
    const uint32_t f = 1u << 16, cd = 1u << 28, bw = 1u << 30, vl = 1u << 31, vbmi = 1u << 1;
    if (r.max_leaf < 7 || !(r.leaf1_ecx & osxsave) || (r.xcr0 & zmm_state) != zmm_state) return false;
    const uint32_t ebx = f | cd | bw | vl;
    return (r.leaf7_ebx & ebx) == ebx && (r.leaf7_ecx & vbmi) == vbmi;
}

}  // namespace kestrava_myers

#endif
