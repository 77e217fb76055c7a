//! Turns the borrowed C records into Clarabel's own types, checking everything that Clarabel
//! itself takes on trust (pointers, array lengths, sparse structure) so that a malformed call
//! is refused with a message instead of reaching unchecked indexing inside the solver.

use crate::abi::*;
use clarabel::algebra::{CscMatrix, SparseFormatError};
use clarabel::solver::{DefaultSettings, SolverError, SupportedConeT};

/// Borrows `len` elements at `ptr`; an empty slice needs no valid pointer.
///
/// # Safety
/// When `len > 0` and `ptr` is not null, `ptr` must point to `len` readable elements that stay
/// valid and unchanged for the returned lifetime.
pub unsafe fn slice<'a, T>(ptr: *const T, len: usize, what: &str) -> Result<&'a [T], String> {
    if len == 0 {
        return Ok(&[]);
    }
    if ptr.is_null() {
        return Err(format!("{what} is a null pointer with length {len}"));
    }
    Ok(std::slice::from_raw_parts(ptr, len))
}

/// Mutable counterpart of [`slice`] for the caller's output buffers.
///
/// # Safety
/// As for [`slice`], with the elements writable and not aliased elsewhere.
pub unsafe fn slice_mut<'a, T>(ptr: *mut T, len: usize, what: &str) -> Result<&'a mut [T], String> {
    if len == 0 {
        return Ok(&mut []);
    }
    if ptr.is_null() {
        return Err(format!("{what} is a null pointer with length {len}"));
    }
    Ok(std::slice::from_raw_parts_mut(ptr, len))
}

/// Copies a borrowed compressed-column matrix after checking its structure: column pointers
/// start at 0, never decrease and end at the entry count, and row indices are in range and
/// strictly increasing inside each column (Clarabel assumes all of this without checking).
///
/// # Safety
/// The pointers of `csc` must satisfy the contract of [`slice`].
pub unsafe fn csc_matrix(csc: &ClarabelFfiCsc, name: &str) -> Result<CscMatrix<f64>, String> {
    let colptr = slice(csc.colptr, csc.colptr_len, &format!("{name}.colptr"))?;
    let rowval = slice(csc.rowval, csc.rowval_len, &format!("{name}.rowval"))?;
    let nzval = slice(csc.nzval, csc.nzval_len, &format!("{name}.nzval"))?;
    check_csc(csc.m, csc.n, colptr, rowval, nzval.len())
        .map_err(|e| format!("{name} is not a valid compressed-column matrix: {e}"))?;
    Ok(CscMatrix::new(
        csc.m,
        csc.n,
        colptr.to_vec(),
        rowval.to_vec(),
        nzval.to_vec(),
    ))
}

fn check_csc(
    m: usize,
    n: usize,
    colptr: &[usize],
    rowval: &[usize],
    nnz_values: usize,
) -> Result<(), SparseFormatError> {
    if n.checked_add(1) != Some(colptr.len()) || rowval.len() != nnz_values {
        return Err(SparseFormatError::IncompatibleDimension);
    }
    if colptr[0] != 0 || colptr[n] != rowval.len() || colptr.windows(2).any(|w| w[0] > w[1]) {
        return Err(SparseFormatError::BadColptr);
    }
    for col in colptr.windows(2) {
        let rows = &rowval[col[0]..col[1]];
        if rows.iter().any(|&r| r >= m) {
            return Err(SparseFormatError::BadRowval);
        }
        if rows.windows(2).any(|w| w[0] >= w[1]) {
            return Err(SparseFormatError::BadRowOrdering);
        }
    }
    Ok(())
}

/// Converts the cone list. An unknown kind is an argument error; dimensions whose sum does not
/// fit a machine word are refused with Clarabel's own text for a cone/row mismatch, because
/// Clarabel sums them unchecked and a wrapped sum could pass its dimension check.
///
/// # Safety
/// `ptr` must satisfy the contract of [`slice`].
pub unsafe fn cones(
    ptr: *const ClarabelFfiCone,
    len: usize,
) -> Result<Vec<SupportedConeT<f64>>, (i32, String)> {
    let raw = slice(ptr, len, "cones").map_err(|e| (CLARABEL_FFI_INVALID_ARGUMENT, e))?;
    let mut total: usize = 0;
    let mut out = Vec::with_capacity(raw.len());
    for (i, cone) in raw.iter().enumerate() {
        out.push(match cone.kind {
            CLARABEL_FFI_CONE_ZERO => SupportedConeT::ZeroConeT(cone.dim),
            CLARABEL_FFI_CONE_NONNEGATIVE => SupportedConeT::NonnegativeConeT(cone.dim),
            CLARABEL_FFI_CONE_SECOND_ORDER => SupportedConeT::SecondOrderConeT(cone.dim),
            kind => {
                return Err((
                    CLARABEL_FFI_INVALID_ARGUMENT,
                    format!("cone {i} has unknown kind {kind}"),
                ))
            }
        });
        total = total.checked_add(cone.dim).ok_or_else(|| {
            let err =
                SolverError::BadInputData("Constraint dimensions inconsistent with size of cones");
            (CLARABEL_FFI_CONSTRUCTION_ERROR, err.to_string())
        })?;
    }
    Ok(out)
}

/// Copies the settings record field by field; Clarabel validates the values itself.
///
/// # Safety
/// The method string must satisfy the contract of [`slice`].
pub unsafe fn settings(s: &ClarabelFfiSettings) -> Result<DefaultSettings<f64>, String> {
    let method = slice(
        s.direct_solve_method.ptr as *const u8,
        s.direct_solve_method.len,
        "direct_solve_method",
    )?;
    let direct_solve_method = std::str::from_utf8(method)
        .map_err(|_| "direct_solve_method is not valid UTF-8".to_string())?
        .to_string();
    Ok(DefaultSettings {
        max_iter: s.max_iter,
        time_limit: s.time_limit,
        verbose: s.verbose != 0,
        max_step_fraction: s.max_step_fraction,
        tol_gap_abs: s.tol_gap_abs,
        tol_gap_rel: s.tol_gap_rel,
        tol_feas: s.tol_feas,
        tol_infeas_abs: s.tol_infeas_abs,
        tol_infeas_rel: s.tol_infeas_rel,
        tol_ktratio: s.tol_ktratio,
        reduced_tol_gap_abs: s.reduced_tol_gap_abs,
        reduced_tol_gap_rel: s.reduced_tol_gap_rel,
        reduced_tol_feas: s.reduced_tol_feas,
        reduced_tol_infeas_abs: s.reduced_tol_infeas_abs,
        reduced_tol_infeas_rel: s.reduced_tol_infeas_rel,
        reduced_tol_ktratio: s.reduced_tol_ktratio,
        equilibrate_enable: s.equilibrate_enable != 0,
        equilibrate_max_iter: s.equilibrate_max_iter,
        equilibrate_min_scaling: s.equilibrate_min_scaling,
        equilibrate_max_scaling: s.equilibrate_max_scaling,
        linesearch_backtrack_step: s.linesearch_backtrack_step,
        min_switch_step_length: s.min_switch_step_length,
        min_terminate_step_length: s.min_terminate_step_length,
        max_threads: s.max_threads,
        direct_kkt_solver: s.direct_kkt_solver != 0,
        direct_solve_method,
        static_regularization_enable: s.static_regularization_enable != 0,
        static_regularization_constant: s.static_regularization_constant,
        static_regularization_proportional: s.static_regularization_proportional,
        dynamic_regularization_enable: s.dynamic_regularization_enable != 0,
        dynamic_regularization_eps: s.dynamic_regularization_eps,
        dynamic_regularization_delta: s.dynamic_regularization_delta,
        iterative_refinement_enable: s.iterative_refinement_enable != 0,
        iterative_refinement_reltol: s.iterative_refinement_reltol,
        iterative_refinement_abstol: s.iterative_refinement_abstol,
        iterative_refinement_max_iter: s.iterative_refinement_max_iter,
        iterative_refinement_stop_ratio: s.iterative_refinement_stop_ratio,
        presolve_enable: s.presolve_enable != 0,
        input_sparse_dropzeros: s.input_sparse_dropzeros != 0,
    })
}

/// Clarabel's settings as the C record; the method string points into `method`, which must
/// outlive every use of the record.
pub fn export_settings(d: &DefaultSettings<f64>, method: &str) -> ClarabelFfiSettings {
    ClarabelFfiSettings {
        max_iter: d.max_iter,
        time_limit: d.time_limit,
        verbose: d.verbose as u8,
        max_step_fraction: d.max_step_fraction,
        tol_gap_abs: d.tol_gap_abs,
        tol_gap_rel: d.tol_gap_rel,
        tol_feas: d.tol_feas,
        tol_infeas_abs: d.tol_infeas_abs,
        tol_infeas_rel: d.tol_infeas_rel,
        tol_ktratio: d.tol_ktratio,
        reduced_tol_gap_abs: d.reduced_tol_gap_abs,
        reduced_tol_gap_rel: d.reduced_tol_gap_rel,
        reduced_tol_feas: d.reduced_tol_feas,
        reduced_tol_infeas_abs: d.reduced_tol_infeas_abs,
        reduced_tol_infeas_rel: d.reduced_tol_infeas_rel,
        reduced_tol_ktratio: d.reduced_tol_ktratio,
        equilibrate_enable: d.equilibrate_enable as u8,
        equilibrate_max_iter: d.equilibrate_max_iter,
        equilibrate_min_scaling: d.equilibrate_min_scaling,
        equilibrate_max_scaling: d.equilibrate_max_scaling,
        linesearch_backtrack_step: d.linesearch_backtrack_step,
        min_switch_step_length: d.min_switch_step_length,
        min_terminate_step_length: d.min_terminate_step_length,
        max_threads: d.max_threads,
        direct_kkt_solver: d.direct_kkt_solver as u8,
        direct_solve_method: ClarabelFfiStr {
            ptr: method.as_ptr().cast(),
            len: method.len(),
        },
        static_regularization_enable: d.static_regularization_enable as u8,
        static_regularization_constant: d.static_regularization_constant,
        static_regularization_proportional: d.static_regularization_proportional,
        dynamic_regularization_enable: d.dynamic_regularization_enable as u8,
        dynamic_regularization_eps: d.dynamic_regularization_eps,
        dynamic_regularization_delta: d.dynamic_regularization_delta,
        iterative_refinement_enable: d.iterative_refinement_enable as u8,
        iterative_refinement_reltol: d.iterative_refinement_reltol,
        iterative_refinement_abstol: d.iterative_refinement_abstol,
        iterative_refinement_max_iter: d.iterative_refinement_max_iter,
        iterative_refinement_stop_ratio: d.iterative_refinement_stop_ratio,
        presolve_enable: d.presolve_enable as u8,
        input_sparse_dropzeros: d.input_sparse_dropzeros as u8,
    }
}
