// What the per-instruction-set ChaCha files share with the dispatcher (chacha_blocks.cpp):
// the constants and one table of kernels per file. Not for use outside these files.
#pragma once

#include <cstdint>

#include "core/chacha_blocks.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define VARNIX_CHACHA_X86 1
#endif

namespace varnix::chacha {

inline constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                             0x6b206574u};  // "expand 32-byte k"

// The intrinsics take signed lanes; the state words are unsigned.
inline int as_int(std::uint32_t w) { return static_cast<int>(w); }

using BlockFn = void (*)(const Key&, std::uint64_t, std::uint32_t*);

// The kernels of one instruction set, by round count. The vector kernels are compiled with
// per-function target attributes, so that the whole core builds without instruction-set flags;
// only their addresses leave their files.
struct Kernels {
    BlockFn chacha8;
    BlockFn chacha12;
};

extern const Kernels kScalarKernels;
#ifdef VARNIX_CHACHA_X86
extern const Kernels kSse2Kernels;
extern const Kernels kAvx2Kernels;
#endif

}  // namespace varnix::chacha
