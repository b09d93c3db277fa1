// The processor probe and the choice among the ChaCha kernels.
#include "core/chacha_blocks.hpp"

#include <string>

#include "core/chacha_kernels.hpp"
#include "core/errors.hpp"

namespace varnix::chacha {
namespace {

#ifdef VARNIX_CHACHA_X86
bool cpu_supports_sse2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
}

bool cpu_supports_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#endif

// The kernel table of an implementation this build contains (InternalFault otherwise).
const Kernels& kernels_of(Impl impl) {
    switch (impl) {
        case Impl::Scalar: return kScalarKernels;
#ifdef VARNIX_CHACHA_X86
        case Impl::Sse2: return kSse2Kernels;
        case Impl::Avx2: return kAvx2Kernels;
#else
        case Impl::Sse2:
        case Impl::Avx2: break;
#endif
    }
    throw InternalFault(std::string("ChaCha implementation not built: ") + name(impl));
}

const Kernels& available_kernels(Impl impl) {
    if (!available(impl)) {
        throw InternalFault(std::string("ChaCha implementation not available: ") + name(impl));
    }
    return kernels_of(impl);
}

// The kernels of the selected implementation, looked up on first use; afterwards every refill
// is one indirect call.
const Kernels& selected_kernels() {
    static const Kernels& chosen = kernels_of(selected_impl());
    return chosen;
}

}  // namespace

bool available(Impl impl) {
    switch (impl) {
        case Impl::Scalar: return true;
#ifdef VARNIX_CHACHA_X86
        case Impl::Sse2: return cpu_supports_sse2();
        case Impl::Avx2: return cpu_supports_avx2();
#else
        case Impl::Sse2:
        case Impl::Avx2: return false;
#endif
    }
    return false;
}

const char* name(Impl impl) {
    switch (impl) {
        case Impl::Scalar: return "scalar";
        case Impl::Sse2: return "sse2";
        case Impl::Avx2: return "avx2";
    }
    return "unknown";
}

Impl selected_impl() {
    static const Impl chosen = [] {
        if (available(Impl::Avx2)) return Impl::Avx2;
        if (available(Impl::Sse2)) return Impl::Sse2;
        return Impl::Scalar;
    }();
    return chosen;
}

void chacha12_blocks(Impl impl, const Key& key, std::uint64_t counter, std::uint32_t* out) {
    available_kernels(impl).chacha12(key, counter, out);
}

void chacha12_blocks(const Key& key, std::uint64_t counter, std::uint32_t* out) {
    selected_kernels().chacha12(key, counter, out);
}

void chacha8_blocks(Impl impl, const Key& key, std::uint64_t counter, std::uint32_t* out) {
    available_kernels(impl).chacha8(key, counter, out);
}

void chacha8_blocks(const Key& key, std::uint64_t counter, std::uint32_t* out) {
    selected_kernels().chacha8(key, counter, out);
}

}  // namespace varnix::chacha
