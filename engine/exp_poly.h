// The polynomial both exps of the log-sum-exp evaluate after their range
// reduction (the kernels' Exp_Below_Zero and the host engine's
// Exp_Lanes): exp(r) = 1 + r + r^2 g(r), g a near-minimax
// (Chebyshev) fit of degree 9 on |r| <= 0.3468, highest power first:
// within 0.6 ulp on the range, where a Taylor series took degree 14.
#pragma once

#define VELMORA_EXP_POLY                                                                  \
  {0x1.af38d53857513p-26, 0x1.2891a8c1d838dp-22, 0x1.71de0d9c145d0p-19, 0x1.a019b8ef67c6cp-16, \
   0x1.a01a01a7c8d47p-13, 0x1.6c16c17893833p-10, 0x1.11111111109adp-7,  0x1.5555555553d4fp-5,  \
   0x1.5555555555556p-3,  0x1.0000000000001p-1}

namespace velmora_log {

constexpr int kExpPolyTerms = 10;
constexpr double kExpPolyHost[kExpPolyTerms] = VELMORA_EXP_POLY;

}  // namespace velmora_log
