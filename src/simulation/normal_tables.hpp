// The constant tables of the 256-layer ziggurat for the standard normal.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace ventrola {

inline constexpr int ZIGGURAT_LAYERS = 256;

// Right edge of the base layer, where the tail begins.
inline constexpr double ZIGGURAT_R = std::bit_cast<double>(std::uint64_t{0x400d3bb48209ad33});

// Layer edges, decreasing from X[0] (the width that gives the base layer,
// tail included, the common layer area) through X[1] = R to X[256] = 0.
extern const std::array<double, ZIGGURAT_LAYERS + 1> ZIGGURAT_X;

// The unnormalised density exp(-x^2 / 2) at each edge; F[256] = 1.
extern const std::array<double, ZIGGURAT_LAYERS + 1> ZIGGURAT_F;

}  // namespace ventrola
