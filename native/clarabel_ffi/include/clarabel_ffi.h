/* C interface of the clarabel_ffi static library: one call that runs Clarabel's default conic
 * solver on a problem given in compressed-column form, and one that reports Clarabel's default
 * settings. The records mirror native/clarabel_ffi/src/abi.rs field for field; the checks at the end
 * let the tests compare both (tests/cpp/qarn/clarabel_abi_test.cpp).
 *
 * Problem: minimise 1/2 x'Px + q'x subject to Ax + s = b, s in the product of the listed cones
 * (in list order, covering the rows of A). P is n x n (Clarabel uses its upper triangle), A is
 * m x n, q has n entries and b m entries.
 *
 * Ownership: every input is borrowed for the duration of the call. The solution vectors are
 * written into caller-owned buffers. The two strings of a result (the linear-solver method name
 * and the error text) are allocated by the library and released by clarabel_ffi_result_free.
 * Nothing is printed unless the settings ask for Clarabel's own log (verbose). */
#ifndef CLARABEL_FFI_H
#define CLARABEL_FFI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of clarabel_ffi_solve. */
enum {
  CLARABEL_FFI_OK = 0,                 /* the solver ran; see result.status */
  CLARABEL_FFI_CONSTRUCTION_ERROR = 1, /* Clarabel refused the problem or settings; result.error holds its text */
  CLARABEL_FFI_INVALID_ARGUMENT = 2,   /* null pointer, malformed sparse matrix, wrong buffer size, unknown cone */
  CLARABEL_FFI_PANIC = 3,              /* Clarabel panicked; the panic was caught, result.error holds its message */
};

/* Cone kinds. */
enum {
  CLARABEL_FFI_CONE_ZERO = 0,
  CLARABEL_FFI_CONE_NONNEGATIVE = 1,
  CLARABEL_FFI_CONE_SECOND_ORDER = 2,
};

/* Borrowed UTF-8 text, not necessarily NUL-terminated. ptr may be NULL when len is 0. */
typedef struct ClarabelFfiStr {
  const char *ptr;
  size_t len;
} ClarabelFfiStr;

/* Text owned by the library; NUL-terminated, len excludes the terminator. NULL when empty. */
typedef struct ClarabelFfiOwnedStr {
  char *ptr;
  size_t len;
} ClarabelFfiOwnedStr;

/* Clarabel's settings in Clarabel's order. Booleans are bytes: 0 is false, anything else true. */
typedef struct ClarabelFfiSettings {
  uint32_t max_iter;
  double time_limit;
  uint8_t verbose;
  double max_step_fraction;
  double tol_gap_abs;
  double tol_gap_rel;
  double tol_feas;
  double tol_infeas_abs;
  double tol_infeas_rel;
  double tol_ktratio;
  double reduced_tol_gap_abs;
  double reduced_tol_gap_rel;
  double reduced_tol_feas;
  double reduced_tol_infeas_abs;
  double reduced_tol_infeas_rel;
  double reduced_tol_ktratio;
  uint8_t equilibrate_enable;
  uint32_t equilibrate_max_iter;
  double equilibrate_min_scaling;
  double equilibrate_max_scaling;
  double linesearch_backtrack_step;
  double min_switch_step_length;
  double min_terminate_step_length;
  uint32_t max_threads;
  uint8_t direct_kkt_solver;
  ClarabelFfiStr direct_solve_method; /* "auto", "qdldl", "faer", ...; Clarabel validates it */
  uint8_t static_regularization_enable;
  double static_regularization_constant;
  double static_regularization_proportional;
  uint8_t dynamic_regularization_enable;
  double dynamic_regularization_eps;
  double dynamic_regularization_delta;
  uint8_t iterative_refinement_enable;
  double iterative_refinement_reltol;
  double iterative_refinement_abstol;
  uint32_t iterative_refinement_max_iter;
  double iterative_refinement_stop_ratio;
  uint8_t presolve_enable;
  uint8_t input_sparse_dropzeros;
} ClarabelFfiSettings;

/* Borrowed m x n compressed-column matrix. colptr has n + 1 entries starting at 0 and ending at
 * the entry count; row indices are below m and strictly increasing inside each column. The
 * library checks all of this and refuses a malformed matrix. */
typedef struct ClarabelFfiCsc {
  size_t m;
  size_t n;
  const size_t *colptr;
  size_t colptr_len;
  const size_t *rowval;
  size_t rowval_len;
  const double *nzval;
  size_t nzval_len;
} ClarabelFfiCsc;

typedef struct ClarabelFfiCone {
  uint32_t kind; /* CLARABEL_FFI_CONE_* */
  size_t dim;    /* rows covered; a cone of dimension 0 covers none */
} ClarabelFfiCone;

typedef struct ClarabelFfiProblem {
  ClarabelFfiCsc p;
  const double *q;
  size_t q_len;
  ClarabelFfiCsc a;
  const double *b;
  size_t b_len;
  const ClarabelFfiCone *cones;
  size_t cones_len;
} ClarabelFfiProblem;

/* Caller-owned output: x_len must equal q_len, z_len and s_len must equal b_len. */
typedef struct ClarabelFfiSolutionBuffers {
  double *x;
  size_t x_len;
  double *z;
  size_t z_len;
  double *s;
  size_t s_len;
} ClarabelFfiSolutionBuffers;

typedef struct ClarabelFfiLinearSolverInfo {
  ClarabelFfiOwnedStr method; /* e.g. "qdldl" or "faer" */
  size_t threads;
  uint8_t direct;
  size_t nnz_a; /* nonzeros of the factored KKT matrix */
  size_t nnz_l; /* nonzeros of its factor L */
} ClarabelFfiLinearSolverInfo;

typedef struct ClarabelFfiResult {
  uint32_t status; /* 0 Unsolved, 1 Solved, 2 PrimalInfeasible, 3 DualInfeasible, 4 AlmostSolved,
                      5 AlmostPrimalInfeasible, 6 AlmostDualInfeasible, 7 MaxIterations, 8 MaxTime,
                      9 NumericalError, 10 InsufficientProgress, 11 CallbackTerminated */
  uint32_t iterations;
  double obj_val;
  double obj_val_dual;
  double r_prim;
  double r_dual;
  double solve_time; /* seconds */
  ClarabelFfiLinearSolverInfo linsolver;
  ClarabelFfiOwnedStr error; /* set exactly when the return code is not CLARABEL_FFI_OK */
} ClarabelFfiResult;

/* Builds one solver instance, solves, and fills buffers and *out. *out is always fully written
 * (its previous contents are not read) unless out is NULL; release it with
 * clarabel_ffi_result_free whatever the return code. Thread-safe: calls share no state. */
int32_t clarabel_ffi_solve(const ClarabelFfiSettings *settings, const ClarabelFfiProblem *problem,
                           const ClarabelFfiSolutionBuffers *buffers, ClarabelFfiResult *out);

/* Releases the strings of a result; safe to call twice or on a result of a failed call. */
void clarabel_ffi_result_free(ClarabelFfiResult *result);

/* Fills *out with Clarabel's own defaults (verbose true, equilibrate_max_iter 10, method "auto").
 * The method string is static storage of the library. Returns CLARABEL_FFI_OK. */
int32_t clarabel_ffi_default_settings(ClarabelFfiSettings *out);

/* Checks of this interface, for the tests that keep this header in step with the library. Text
 * answers are copied into buf (cap bytes, cut to fit, always NUL-terminated when cap > 0; buf may
 * be NULL) and the length of the whole text is returned. */

/* The layout of every record above as the library sees it, one line per record in the order of
 * this header: "Name size align: field@offset+size field@offset+size ...\n". */
size_t clarabel_ffi_layout(char *buf, size_t cap);

/* Clarabel's settings made from *settings, in the library's debug form
 * ("DefaultSettings { max_iter: 200, time_limit: inf, ..., direct_solve_method: \"auto\", ... }"),
 * or the reason they could not be made. */
size_t clarabel_ffi_settings_text(const ClarabelFfiSettings *settings, char *buf, size_t cap);

/* *settings converted to Clarabel's settings and back into *out. The method string of *out is
 * library storage that stays valid until the next call of this function on the same thread.
 * Returns CLARABEL_FFI_OK, or CLARABEL_FFI_INVALID_ARGUMENT for a null pointer or a method string
 * that is not UTF-8. */
int32_t clarabel_ffi_settings_round_trip(const ClarabelFfiSettings *settings, ClarabelFfiSettings *out);

#ifdef __cplusplus
}
#endif

#endif /* CLARABEL_FFI_H */
