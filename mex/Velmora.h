// Velmora's entry point, run driver, covariance inversion and mixture
// evaluation: P = Velmora(X, Mu, Sigma, Pi).
#pragma once

// Doubles in one covariance block and one inverse block: dim in diagonal
// mode, dim*dim in full mode. Set at the start of every run.
extern int elements_one_sigma;

// One evaluation of the mixture into the zero-filled row P (num_data).
void GMM(double *X, int dim, int num_data, int num_clust, double *Mu, double *Sigma, double *Pi,
         double *P);

// Adds Pi[k] times cluster k's densities of every data point into d_P.
void Velmora(double *d_X, double *d_Mu, double *d_InvSigmas, double *Pi, double *LogDets,
             int dim, int num_data, int num_clust, double *d_Temp1, double *d_Temp2,
             double *d_P);

// temp1[0..num_data) = Gaussian density of every column of X under one cluster.
void GaussPDF_One(double *X, double *mu, double *inv_sigma, double log_det, int dim,
                  int num_data, int num_clust, double *temp1, double *temp2);

// Inverse block and log-determinant of one cluster's covariance block.
void Invert_Sigmas(double *Sigma_c, double *InvSigma_c, double *LogDet_c, int dim);

// Invert_Sigmas for every cluster, spread over the host's cores when the
// work is large enough; the console text comes in cluster order from the
// calling thread.
void Invert_All_Sigmas(double *Sigma, double *InvSigmas, double *LogDets, int dim,
                       int num_clust);

// Inverse of the symmetric positive-definite n x n matrix whose lower
// triangle A holds, through its Cholesky factor; returns the log-determinant,
// or -1.0 (Inv untouched) when A is not positive definite. With in_place,
// A's upper triangle receives the factor.
double CholeskyInv(double *A, double *Inv, int n, bool in_place);
