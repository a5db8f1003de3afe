// What the processor offers beyond the baseline, for the few loops written for it. Each such
// loop keeps a portable path for processors without it.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define PALVARA_HAVE_VBMI_PATH 1
// For functions written with the AVX-512 byte-permute instructions.
#define PALVARA_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#define PALVARA_HAVE_CLMUL_PATH 1
// For functions written with carry-less multiplication.
#define PALVARA_CLMUL __attribute__((target("pclmul,sse4.1")))
#endif

namespace palvara {

// AVX-512 with the byte-permute instructions (VBMI), as the running processor reports it.
bool HasAvx512Vbmi();

// Carry-less multiplication (PCLMULQDQ) with SSE4.1.
bool HasCarrylessMultiply();

}  // namespace palvara
