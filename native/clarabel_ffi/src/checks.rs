//! Checks of the C interface, run by the C++ tests against include/clarabel_ffi.h: the layout of
//! every record as this library sees it, and the settings as Clarabel receives them and gives
//! them back. Each answer is text or a record whose fields are named on this side, so that a
//! record laid out differently in the header shows as a difference instead of cancelling out.

use crate::abi::*;
use clarabel::solver::DefaultSettings;
use std::cell::RefCell;
use std::fmt::Write;
use std::mem::{align_of, offset_of, size_of};

fn field_size<T, F>(_: fn(&T) -> &F) -> usize {
    size_of::<F>()
}

/// Appends "Name size align: field@offset+size ..." and a newline for one record. The
/// destructuring pattern must name every field of the record, or this does not compile.
macro_rules! describe {
    ($out:expr, $ty:ident { $($field:ident),* $(,)? }) => {{
        #[allow(dead_code)]
        fn every_field_is_listed(r: &$ty) {
            let $ty { $($field: _),* } = r;
        }
        let _ = write!($out, "{} {} {}:", stringify!($ty), size_of::<$ty>(), align_of::<$ty>());
        $(
            let _ = write!($out, " {}@{}+{}", stringify!($field), offset_of!($ty, $field),
                           field_size(|r: &$ty| &r.$field));
        )*
        $out.push('\n');
    }};
}

/// The layout of every record of the C interface, one line each, in header order.
pub fn layout_text() -> String {
    let mut out = String::new();
    describe!(out, ClarabelFfiStr { ptr, len });
    describe!(out, ClarabelFfiOwnedStr { ptr, len });
    describe!(out, ClarabelFfiSettings {
        max_iter, time_limit, verbose, max_step_fraction, tol_gap_abs, tol_gap_rel, tol_feas,
        tol_infeas_abs, tol_infeas_rel, tol_ktratio, reduced_tol_gap_abs, reduced_tol_gap_rel,
        reduced_tol_feas, reduced_tol_infeas_abs, reduced_tol_infeas_rel, reduced_tol_ktratio,
        equilibrate_enable, equilibrate_max_iter, equilibrate_min_scaling, equilibrate_max_scaling,
        linesearch_backtrack_step, min_switch_step_length, min_terminate_step_length, max_threads,
        direct_kkt_solver, direct_solve_method, static_regularization_enable,
        static_regularization_constant, static_regularization_proportional,
        dynamic_regularization_enable, dynamic_regularization_eps, dynamic_regularization_delta,
        iterative_refinement_enable, iterative_refinement_reltol, iterative_refinement_abstol,
        iterative_refinement_max_iter, iterative_refinement_stop_ratio, presolve_enable,
        input_sparse_dropzeros,
    });
    describe!(out, ClarabelFfiCsc { m, n, colptr, colptr_len, rowval, rowval_len, nzval, nzval_len });
    describe!(out, ClarabelFfiCone { kind, dim });
    describe!(out, ClarabelFfiProblem { p, q, q_len, a, b, b_len, cones, cones_len });
    describe!(out, ClarabelFfiSolutionBuffers { x, x_len, z, z_len, s, s_len });
    describe!(out, ClarabelFfiLinearSolverInfo { method, threads, direct, nnz_a, nnz_l });
    describe!(out, ClarabelFfiResult {
        status, iterations, obj_val, obj_val_dual, r_prim, r_dual, solve_time, linsolver, error,
    });
    out
}

/// Clarabel's settings made from the record, in Rust's debug form
/// ("DefaultSettings { max_iter: 7, time_limit: 2.5, ... }").
///
/// # Safety
/// As for `convert::settings`.
pub unsafe fn settings_text(settings: &ClarabelFfiSettings) -> Result<String, String> {
    Ok(format!("{:?}", crate::convert::settings(settings)?))
}

thread_local! {
    static ROUND_TRIP_METHOD: RefCell<String> = const { RefCell::new(String::new()) };
}

/// The record converted to Clarabel's settings and back; the method string of the answer lives
/// in storage of this thread until its next call.
///
/// # Safety
/// As for `convert::settings`.
pub unsafe fn settings_round_trip(settings: &ClarabelFfiSettings) -> Result<ClarabelFfiSettings, String> {
    let clarabel: DefaultSettings<f64> = crate::convert::settings(settings)?;
    ROUND_TRIP_METHOD.with(|method| {
        let mut method = method.borrow_mut();
        method.clone_from(&clarabel.direct_solve_method);
        Ok(crate::convert::export_settings(&clarabel, method.as_str()))
    })
}
