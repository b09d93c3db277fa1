// Values kept by the bits of their points, for the reads of a build through a batch density:
// one flat array probed linearly from a multiplicative hash, no allocation per point. The
// thousands of points a build keeps then cost a few nanoseconds each to keep and to find,
// against a node allocation each in a node-based map.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnix {

class PointValues {
public:
    // The slot of x's value: its value, or nullptr when x has none.
    const double* find(double x) const {
        if (count_ == 0) return nullptr;
        const std::uint64_t k = std::bit_cast<std::uint64_t>(x);
        for (std::size_t i = home(k);; i = (i + 1) & mask_) {
            if (slots_[i].key == k && slots_[i].used) return &slots_[i].value;
            if (!slots_[i].used) return nullptr;
        }
    }
    bool contains(double x) const { return find(x) != nullptr; }
    // Keeps x with the value v unless x already has one; whether it was new.
    bool insert(double x, double v) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        const std::uint64_t k = std::bit_cast<std::uint64_t>(x);
        for (std::size_t i = home(k);; i = (i + 1) & mask_) {
            if (!slots_[i].used) {
                slots_[i] = {k, v, true};
                ++count_;
                return true;
            }
            if (slots_[i].key == k) return false;
        }
    }
    // Sets the value of an x that has one.
    void set(double x, double v) { *const_cast<double*>(find(x)) = v; }
    void clear() { reset(0); }

private:
    struct Slot {
        std::uint64_t key = 0;
        double value = 0.0;
        bool used = false;
    };
    static constexpr std::size_t kFirstSlots = 1024;
    // Fibonacci hashing: the top bits of the key times 2^64 over the golden ratio.
    static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;

    std::size_t home(std::uint64_t k) const {
        return static_cast<std::size_t>((k * kGolden) >> shift_);
    }
    // Empty, with room for slots (a power of two) or none.
    void reset(std::size_t slots) {
        slots_.assign(slots, Slot{});
        mask_ = slots == 0 ? 0 : slots - 1;
        shift_ = slots == 0 ? 63 : 64 - std::countr_zero(slots);
        count_ = 0;
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        reset(old.empty() ? kFirstSlots : 2 * old.size());
        for (const Slot& s : old) {
            if (s.used) insert(std::bit_cast<double>(s.key), s.value);
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t count_ = 0;
};

}  // namespace varnix
