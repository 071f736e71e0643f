#include "parallel/range_split.hpp"

#include <bit>

namespace ventrola {

namespace {
// Pieces per participating thread. A thread that finishes early (or was
// descheduled less) takes more pieces, so the threads finish at most about one
// piece apart: with 16 that is a few percent of the batch. Each piece costs one
// hand-over under the pool's lock, microseconds against a piece's trials.
constexpr std::uint64_t PIECES_PER_THREAD = 16;
}  // namespace

unsigned split_depth(std::uint64_t n, std::size_t participants) {
    if (n < 2 || participants < 2) return 0;
    // Deep enough for PIECES_PER_THREAD pieces each; shallow enough that
    // every piece holds at least one index (2^depth <= n).
    const std::uint64_t wanted =
        participants > (UINT64_MAX / PIECES_PER_THREAD) ? UINT64_MAX : participants * PIECES_PER_THREAD;
    const auto for_threads = static_cast<unsigned>(std::bit_width(wanted - 1));
    const unsigned for_range = static_cast<unsigned>(std::bit_width(n) - 1);
    return for_threads < for_range ? for_threads : for_range;
}

IndexRange split_piece(std::uint64_t n, unsigned depth, std::uint64_t k) {
    IndexRange range{0, n};
    for (unsigned level = depth; level > 0; --level) {
        const std::uint64_t middle = range.first + (range.last - range.first) / 2;
        if ((k >> (level - 1)) & 1) {
            range.first = middle;
        } else {
            range.last = middle;
        }
    }
    return range;
}

}  // namespace ventrola
