// 3x3 matrices of double for the lens undistortion.
//
// A mat3_t points at 9 values in row-major order: element [r][c] sits at
// index 3r + c. Matrices returned by mat3_create and mat3_identity (when it
// allocates) are released with free(). Allocation failure is logged and gives
// a null matrix.
#pragma once

typedef double *mat3_t;

// Allocates 9 zeroed values and copies mat into them when mat is not null.
mat3_t mat3_create(mat3_t mat);

// Copies mat into dest and returns dest.
mat3_t mat3_set(mat3_t mat, mat3_t dest);

// Writes the identity into dest (allocated first when null) and returns it.
mat3_t mat3_identity(mat3_t dest);

// Writes the inverse of mat into dest, or into mat itself when dest is null,
// and returns that target. The inverse is the adjugate divided by the
// determinant (cofactor expansion along the first row). A determinant of
// exactly 0 leaves the target untouched.
mat3_t mat3_inverse(mat3_t mat, mat3_t dest);
