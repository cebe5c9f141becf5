// Coefficients of the third-order recursive Gaussian, reachable by the tests.
#pragma once

struct gauss3_coefs {
    int N;       // order of the recursion, 3
    float sigma; // the sigma the coefficients were made for
    float b[4];  // gain B, then c1, c2, c3: y[i] = B x[i] + c1 y[i-1] + c2 y[i-2] + c3 y[i-3]
};

// Fills c for sigma; sigma below 0.5 (or not a number) gets the fixed values
// of sigma 0.5.
void compute_coefs3(gauss3_coefs *c, float sigma);
