// Reading a word source ahead of the draws, on a copy of it.
//
// A batch of proposals has to be laid out before the function values are known, yet those values
// decide how many words each proposal takes (rejection reads its acceptance uniform only for a
// usable value), and a draw that fails ends the words taken. So the words of a batch are read
// ahead from a copy of the source; once the batch has been decided, commit hands the source
// exactly the words the draws took, as many as drawing them one at a time would have read.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/word_source.hpp"

namespace varnix {

// A word source whose copy is a source of its own: it hands out the words the original would
// from the point of the copy, and reading it leaves the original where it was. ChaChaRng and the
// tests' scripted sources are such; a source that refers to another and advances it is not.
template <class R>
concept CopyableWordSource = WordSource<R> && std::copyable<R>;

// Lent a source for one batch: reads ahead on a copy, then commits once.
template <CopyableWordSource R>
class WordLookahead {
public:
    explicit WordLookahead(R& source) : source_(source), ahead_(source) {}

    // The next word ahead of the source, which does not move.
    std::uint64_t next_u64() {
        ++read_;
        return ahead_.next_u64();
    }

    std::size_t read() const { return read_; }

    // Takes from the source the first `words` words read ahead (words <= read()), the same words
    // in the same order. Called at most once; the lookahead is spent afterwards.
    void commit(std::size_t words) {
        if (words == read_) {
            source_ = std::move(ahead_);
            return;
        }
        for (std::size_t k = 0; k < words; ++k) (void)source_.next_u64();
    }

private:
    R& source_;
    R ahead_;
    std::size_t read_ = 0;
};

}  // namespace varnix
