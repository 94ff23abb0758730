// Full mode's whitening and the log-sum-exp's exps eight lanes wide, in a
// file of its own that is built for AVX-512 where the compiler can: taken
// at run time where the running processor has AVX-512, over the four-lane
// loops that the rest of the engine runs everywhere. Each lane's arithmetic is one point's
// own, in the same order in both, so both give the same bits.
#pragma once

#include "host_panels.h"

namespace velmora_log::host {

// The squared whitened distances q[0 .. width) of the panel's points x
// (whole blocks of kBlock) from one cluster, W lower triangular and mu
// its centre, d scratch of dim x kWhitenedAtOnce: four lanes at a time, or
// eight (only where Wide_Lanes()).
void Full_Distances_Four(const double *W, const double *mu, Index dim, const double *x,
                         Index width, double *d, double *q);
void Full_Distances_Wide(const double *W, const double *mu, Index dim, const double *x,
                         Index width, double *d, double *q);

// The log-sum-exp's exps of a panel's terms (host_exp.h's Exp_Terms),
// four lanes at a time, or eight (only where Wide_Lanes()).
void Exp_Terms_Four(Index K, bool posteriors, Index width, double *terms, const double *top,
                    double *sum);
void Exp_Terms_Wide(Index K, bool posteriors, Index width, double *terms, const double *top,
                    double *sum);

// Whether the eight-lane loops are built (the file was compiled for
// AVX-512): a constant, without an instruction of AVX-512.
bool Wide_Built();

// Whether this process takes the eight-lane loops: built, and the
// running processor and its system have AVX-512 (under valgrind, whose
// processor has none, they do not).
bool Wide_Lanes();

}  // namespace velmora_log::host
