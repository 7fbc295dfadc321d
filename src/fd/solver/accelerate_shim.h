#pragma once
/* A plain C boundary of three functions between the symmetric-indefinite back end and the sparse
 * LDL^T library behind it (here sequential MUMPS, double precision). The handle is opaque to the
 * caller and owns its copies of the arrays and the library's factor objects.
 *
 * The matrix: real symmetric of order n, upper triangle in compressed columns: col_starts
 * (n + 1 values, col_starts[0] = 0, col_starts[n] = number of stored entries), row_indices
 * (zero-based, ascending within a column, each <= its column), values. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AccelerateHandle AccelerateHandle;

/* Analyses and factorises (LDL^T with 1x1 and 2x2 pivots). Returns a new handle, or NULL on any
 * failure: n < 1, no memory, a failed analysis or factorisation, a singular matrix. The caller's
 * arrays are only read. */
AccelerateHandle* accel_factor(int32_t n, const int64_t* col_starts, const int32_t* row_indices,
                               const double* values);

/* Solves with the handle's factors: rhs (n values) is read, x (n values) written. Returns 0
 * after the solve, -1 for a NULL handle, the library's negative status when it fails. */
int32_t accel_solve(AccelerateHandle* handle, const double* rhs, double* x);

/* Releases everything the handle holds, then the handle. NULL does nothing. */
void accel_free(AccelerateHandle* handle);

#ifdef __cplusplus
}
#endif
