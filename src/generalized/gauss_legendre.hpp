// The 8-point Gauss-Legendre rule on [-1, 1], exact for polynomials of degree
// 15: the solver's rule for smooth integrands over one interval of its grids.
#pragma once

namespace ventrola::generalized {

inline constexpr double GAUSS8_NODES[8] = {-0.9602898564975362,  -0.7966664774136267, -0.525532409916329,
                                           -0.18343464249564978, 0.18343464249564978, 0.525532409916329,
                                           0.7966664774136267,   0.9602898564975362};
inline constexpr double GAUSS8_WEIGHTS[8] = {0.10122853629037706, 0.22238103445337443, 0.3137066458778869,
                                             0.36268378337836166, 0.36268378337836166, 0.3137066458778869,
                                             0.22238103445337443, 0.10122853629037706};

}  // namespace ventrola::generalized
