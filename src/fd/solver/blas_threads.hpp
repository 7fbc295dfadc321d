#pragma once
// The BLAS under the LU and LDL^T back ends (OpenBLAS on Debian) keeps its own thread pool.
// Sizing it like the worker pool makes RAYON_NUM_THREADS bound every thread the solve uses.

namespace vantrel {

// Sets the loaded OpenBLAS to worker_count() threads; does nothing under another BLAS.
void match_blas_threads_to_pool();

}  // namespace vantrel
