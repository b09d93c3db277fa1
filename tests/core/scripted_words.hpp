// A word source for tests: hands out given 64-bit words in order and counts how many were
// taken, so that a test can both choose a sampler's uniforms and check its consumption.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/word_source.hpp"

namespace testing_words {

// The word whose uniform (varnix::unit_from_bits) is u, for u a multiple of 2^-53 in [0, 1);
// other values are truncated to the multiple below.
inline std::uint64_t word_for_uniform(double u) {
    return static_cast<std::uint64_t>(std::ldexp(u, 53)) << 11;
}

class ScriptedWords {
public:
    explicit ScriptedWords(std::vector<std::uint64_t> words) : words_(std::move(words)) {}

    // The words of the given uniforms, see word_for_uniform.
    static ScriptedWords of_uniforms(const std::vector<double>& us) {
        std::vector<std::uint64_t> words;
        words.reserve(us.size());
        for (const double u : us) words.push_back(word_for_uniform(u));
        return ScriptedWords(std::move(words));
    }

    // Running past the script is a fault of the test, reported as an exception.
    std::uint64_t next_u64() {
        if (consumed_ == words_.size()) throw std::out_of_range("scripted words exhausted");
        return words_[consumed_++];
    }

    std::size_t consumed() const { return consumed_; }

private:
    std::vector<std::uint64_t> words_;
    std::size_t consumed_ = 0;
};

static_assert(varnix::WordSource<ScriptedWords>);

}  // namespace testing_words
