// 3x3 matrix operations (see mat3.h).
#include "imgproc/matrix/mat3.h"

#include <cstdlib>
#include <cstring>

#include "vx_log_internal.h"

namespace {
constexpr size_t MAT3_BYTES = 9 * sizeof(double);
}  // namespace

mat3_t mat3_create(mat3_t mat) {
    auto *m = static_cast<mat3_t>(calloc(9, sizeof(double)));
    if (m == nullptr) {
        LOG_ERR("malloc failed\n");
        return nullptr;
    }
    if (mat != nullptr) memcpy(m, mat, MAT3_BYTES);
    return m;
}

mat3_t mat3_set(mat3_t mat, mat3_t dest) {
    // memmove: copying a matrix onto itself is allowed.
    memmove(dest, mat, MAT3_BYTES);
    return dest;
}

mat3_t mat3_identity(mat3_t dest) {
    if (dest == nullptr) {
        dest = mat3_create(nullptr);
        if (dest == nullptr) return nullptr;
    }
    for (int i = 0; i < 9; ++i) dest[i] = (i % 4 == 0) ? 1.0 : 0.0;
    return dest;
}

mat3_t mat3_inverse(mat3_t mat, mat3_t dest) {
    mat3_t out = dest != nullptr ? dest : mat;
    // Read everything first: out may be mat itself.
    const double a00 = mat[0], a01 = mat[1], a02 = mat[2];
    const double a10 = mat[3], a11 = mat[4], a12 = mat[5];
    const double a20 = mat[6], a21 = mat[7], a22 = mat[8];

    // Cofactors of the first row; they are also the first column of the adjugate.
    const double c00 = a11 * a22 - a12 * a21;
    const double c01 = a12 * a20 - a10 * a22;
    const double c02 = a10 * a21 - a11 * a20;
    const double det = a00 * c00 + a01 * c01 + a02 * c02;
    if (det == 0.0) return out;

    out[0] = c00 / det;
    out[1] = (a02 * a21 - a01 * a22) / det;
    out[2] = (a01 * a12 - a02 * a11) / det;
    out[3] = c01 / det;
    out[4] = (a00 * a22 - a02 * a20) / det;
    out[5] = (a02 * a10 - a00 * a12) / det;
    out[6] = c02 / det;
    out[7] = (a01 * a20 - a00 * a21) / det;
    out[8] = (a00 * a11 - a01 * a10) / det;
    return out;
}
