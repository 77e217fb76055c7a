//! The `#[repr(C)]` records of the C interface; their C twins live in include/clarabel_ffi.h and
//! must be kept field for field in the same order.

use std::os::raw::c_char;

/// Outcome codes of `clarabel_ffi_solve`.
pub const CLARABEL_FFI_OK: i32 = 0;
/// The solver refused the problem or the settings (Clarabel's own construction error).
pub const CLARABEL_FFI_CONSTRUCTION_ERROR: i32 = 1;
/// The arguments do not describe a problem at all (null pointers, malformed sparse matrices,
/// output buffers of the wrong size).
pub const CLARABEL_FFI_INVALID_ARGUMENT: i32 = 2;
/// The solver panicked; the panic was caught and its message returned.
pub const CLARABEL_FFI_PANIC: i32 = 3;

/// Cone kinds of the cone list.
pub const CLARABEL_FFI_CONE_ZERO: u32 = 0;
pub const CLARABEL_FFI_CONE_NONNEGATIVE: u32 = 1;
pub const CLARABEL_FFI_CONE_SECOND_ORDER: u32 = 2;

/// A borrowed UTF-8 string (not necessarily NUL-terminated).
#[repr(C)]
#[derive(Clone, Copy)]
pub struct ClarabelFfiStr {
    pub ptr: *const c_char,
    pub len: usize,
}

/// A string allocated by this library; released by `clarabel_ffi_result_free`.
/// `ptr` is NUL-terminated as a convenience; `len` excludes the terminator.
#[repr(C)]
pub struct ClarabelFfiOwnedStr {
    pub ptr: *mut c_char,
    pub len: usize,
}

/// Every numerical setting of Clarabel's default solver, in Clarabel's order. Booleans are
/// bytes (0 false, anything else true) so that no caller can hand Rust an invalid `bool`.
#[repr(C)]
pub struct ClarabelFfiSettings {
    pub max_iter: u32,
    pub time_limit: f64,
    pub verbose: u8,
    pub max_step_fraction: f64,
    pub tol_gap_abs: f64,
    pub tol_gap_rel: f64,
    pub tol_feas: f64,
    pub tol_infeas_abs: f64,
    pub tol_infeas_rel: f64,
    pub tol_ktratio: f64,
    pub reduced_tol_gap_abs: f64,
    pub reduced_tol_gap_rel: f64,
    pub reduced_tol_feas: f64,
    pub reduced_tol_infeas_abs: f64,
    pub reduced_tol_infeas_rel: f64,
    pub reduced_tol_ktratio: f64,
    pub equilibrate_enable: u8,
    pub equilibrate_max_iter: u32,
    pub equilibrate_min_scaling: f64,
    pub equilibrate_max_scaling: f64,
    pub linesearch_backtrack_step: f64,
    pub min_switch_step_length: f64,
    pub min_terminate_step_length: f64,
    pub max_threads: u32,
    pub direct_kkt_solver: u8,
    pub direct_solve_method: ClarabelFfiStr,
    pub static_regularization_enable: u8,
    pub static_regularization_constant: f64,
    pub static_regularization_proportional: f64,
    pub dynamic_regularization_enable: u8,
    pub dynamic_regularization_eps: f64,
    pub dynamic_regularization_delta: f64,
    pub iterative_refinement_enable: u8,
    pub iterative_refinement_reltol: f64,
    pub iterative_refinement_abstol: f64,
    pub iterative_refinement_max_iter: u32,
    pub iterative_refinement_stop_ratio: f64,
    pub presolve_enable: u8,
    pub input_sparse_dropzeros: u8,
}

/// A borrowed m x n compressed-column matrix; each array comes with its length so that the
/// library can check the structure before Clarabel sees it.
#[repr(C)]
pub struct ClarabelFfiCsc {
    pub m: usize,
    pub n: usize,
    pub colptr: *const usize,
    pub colptr_len: usize,
    pub rowval: *const usize,
    pub rowval_len: usize,
    pub nzval: *const f64,
    pub nzval_len: usize,
}

/// One entry of the cone list.
#[repr(C)]
#[derive(Clone, Copy)]
pub struct ClarabelFfiCone {
    pub kind: u32,
    pub dim: usize,
}

/// The whole problem: min 1/2 x'Px + q'x subject to Ax + s = b, s in the cones.
#[repr(C)]
pub struct ClarabelFfiProblem {
    pub p: ClarabelFfiCsc,
    pub q: *const f64,
    pub q_len: usize,
    pub a: ClarabelFfiCsc,
    pub b: *const f64,
    pub b_len: usize,
    pub cones: *const ClarabelFfiCone,
    pub cones_len: usize,
}

/// Caller-owned buffers that receive the solution: x of length n, z and s of length m.
#[repr(C)]
pub struct ClarabelFfiSolutionBuffers {
    pub x: *mut f64,
    pub x_len: usize,
    pub z: *mut f64,
    pub z_len: usize,
    pub s: *mut f64,
    pub s_len: usize,
}

/// What Clarabel reports about the factorisation it used.
#[repr(C)]
pub struct ClarabelFfiLinearSolverInfo {
    pub method: ClarabelFfiOwnedStr,
    pub threads: usize,
    pub direct: u8,
    pub nnz_a: usize,
    pub nnz_l: usize,
}

/// Scalar outcome of a solve, plus the error text of a failed call. Filled completely by every
/// call (zeros and empty strings where nothing applies).
#[repr(C)]
pub struct ClarabelFfiResult {
    pub status: u32,
    pub iterations: u32,
    pub obj_val: f64,
    pub obj_val_dual: f64,
    pub r_prim: f64,
    pub r_dual: f64,
    pub solve_time: f64,
    pub linsolver: ClarabelFfiLinearSolverInfo,
    pub error: ClarabelFfiOwnedStr,
}
