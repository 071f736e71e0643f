// How many threads the worker pool runs: settled once from two environment
// variables and the processors this process may run on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ventrola {

// An optional '+' then one or more decimal digits, nothing else, within 64
// bits; anything else is treated as if the variable were unset.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The pool's size from the values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS
// (null when unset) and the processors available. RAYON_NUM_THREADS=0 asks
// for the default outright, without looking at RAYON_RS_NUM_CPUS.
std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus, std::size_t available);

// Processors in this process's CPU affinity mask (not the machine's count),
// or 1 when the system cannot tell.
std::size_t available_processors();

}  // namespace ventrola
