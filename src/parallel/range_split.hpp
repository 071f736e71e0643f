// The division of a batch's index range into pieces for the worker pool. The
// pieces are the leaves of a tree of repeated halvings, so they depend only on
// the range and the depth, never on which thread runs them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ventrola {

struct IndexRange {
    std::uint64_t first;
    std::uint64_t last;  // one past the end
};

// How many times to halve a range of n indices for `participants` threads: a
// few pieces per thread, so that a thread that finishes early finds more, but
// never so deep that a piece would be empty. 0 (one piece) when n < 2.
unsigned split_depth(std::uint64_t n, std::size_t participants);

// Piece k (0 <= k < 2^depth) of [0, n) halved `depth` times, lower halves
// first: the pieces are contiguous, in ascending order, and cover [0, n).
IndexRange split_piece(std::uint64_t n, unsigned depth, std::uint64_t k);

}  // namespace ventrola
