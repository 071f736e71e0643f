#include "parallel/thread_count.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace ventrola {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "thread counts are 64-bit");

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus, std::size_t available) {
    const std::size_t fallback = std::max<std::size_t>(available, 1);
    if (rayon_num_threads != nullptr) {
        if (const auto count = parse_thread_count(rayon_num_threads)) {
            return *count >= 1 ? *count : fallback;
        }
    }
    if (rayon_rs_num_cpus != nullptr) {
        if (const auto count = parse_thread_count(rayon_rs_num_cpus); count && *count >= 1) {
            return *count;
        }
    }
    return fallback;
}

std::size_t available_processors() {
    // Start with the fixed-size set and grow it for machines with more
    // processors than it holds; the kernel answers EINVAL while it is too small.
    for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 1;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int status = sched_getaffinity(0, bytes, set);
        const int error = errno;
        const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (status == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
        if (error != EINVAL) return 1;
    }
    return 1;
}

}  // namespace ventrola
