// Values kept by the bits of their points, for the reads of a build through a batch density:
// one flat array of 16-byte slots probed linearly from a multiplicative hash, no allocation per
// point. The thousands of points a build keeps then cost a few nanoseconds each to keep and to
// find, against a node allocation each in a node-based map.
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
            if (slots_[i].key == k) return &slots_[i].value;
            if (slots_[i].key == kEmpty) return nullptr;
        }
    }
    bool contains(double x) const { return find(x) != nullptr; }
    // Room for n more points without moving the values: the slots insert returns stay valid
    // over the next n inserts.
    void reserve_more(std::size_t n) {
        std::size_t slots = slots_.empty() ? kFirstSlots : slots_.size();
        while (kLoadDenominator * (count_ + n) > kLoadNumerator * slots) slots *= 2;
        if (slots != slots_.size()) rehash(slots);
    }
    // Keeps x with the value v unless x already has one: the new value's slot, or nullptr
    // when x had one. x is never NaN (the pattern of an empty slot is a NaN).
    double* insert(double x, double v) {
        reserve_more(1);
        const std::uint64_t k = std::bit_cast<std::uint64_t>(x);
        for (std::size_t i = home(k);; i = (i + 1) & mask_) {
            if (slots_[i].key == kEmpty) {
                slots_[i] = {k, v};
                ++count_;
                return &slots_[i].value;
            }
            if (slots_[i].key == k) return nullptr;
        }
    }
    void clear() {
        slots_.clear();
        mask_ = 0;
        count_ = 0;
    }

private:
    struct Slot {
        std::uint64_t key;
        double value;
    };
    // A quiet NaN with a payload: no point a build evaluates has it.
    static constexpr std::uint64_t kEmpty = 0x7FF8DEADBEEF0001ull;
    static constexpr std::size_t kFirstSlots = 4096;
    // At most 5/8 of the slots used.
    static constexpr std::size_t kLoadNumerator = 5;
    static constexpr std::size_t kLoadDenominator = 8;
    // Fibonacci hashing: the top bits of the key times 2^64 over the golden ratio.
    static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;

    std::size_t home(std::uint64_t k) const {
        return static_cast<std::size_t>((k * kGolden) >> shift_);
    }
    void rehash(std::size_t slots) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(slots, Slot{kEmpty, 0.0});
        mask_ = slots - 1;
        shift_ = 64 - std::countr_zero(slots);
        for (const Slot& s : old) {
            if (s.key == kEmpty) continue;
            std::size_t i = home(s.key);
            while (slots_[i].key != kEmpty) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::size_t count_ = 0;
};

}  // namespace varnix
