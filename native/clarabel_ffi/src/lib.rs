//! C ABI over the Clarabel conic solver, linked into the qarn_py native core.
//!
//! Each solve builds its own solver instance and keeps no state between calls. A panic inside
//! Clarabel is caught at this boundary and returned as an error, and the panic hook is silenced
//! so that nothing is printed unless the settings ask for Clarabel's own log.

mod abi;
mod checks;
mod convert;

pub use abi::*;

use clarabel::solver::{DefaultSettings, DefaultSolver, IPSolver, SolverStatus};
use std::os::raw::c_char;
use std::panic::{catch_unwind, AssertUnwindSafe};
use std::sync::{Once, OnceLock};

type Failure = (i32, String);

/// Replaces the default panic hook (which prints to standard error) with a silent one; the
/// panic message still reaches the caller through the payload caught below.
fn silence_panic_output() {
    static INSTALL: Once = Once::new();
    INSTALL.call_once(|| std::panic::set_hook(Box::new(|_| {})));
}

fn panic_message(payload: Box<dyn std::any::Any + Send>) -> String {
    let text = if let Some(s) = payload.downcast_ref::<&str>() {
        (*s).to_string()
    } else if let Some(s) = payload.downcast_ref::<String>() {
        s.clone()
    } else {
        "unknown panic payload".to_string()
    };
    format!("Clarabel panicked: {text}")
}

fn owned_str(text: &str) -> ClarabelFfiOwnedStr {
    let mut bytes = Vec::with_capacity(text.len() + 1);
    bytes.extend_from_slice(text.as_bytes());
    bytes.push(0);
    let len = text.len();
    let ptr = Box::into_raw(bytes.into_boxed_slice()) as *mut c_char;
    ClarabelFfiOwnedStr { ptr, len }
}

fn empty_str() -> ClarabelFfiOwnedStr {
    ClarabelFfiOwnedStr {
        ptr: std::ptr::null_mut(),
        len: 0,
    }
}

/// # Safety
/// `s` must be null or come from [`owned_str`] and not have been released yet.
unsafe fn release_str(s: &mut ClarabelFfiOwnedStr) {
    if !s.ptr.is_null() {
        let bytes = std::ptr::slice_from_raw_parts_mut(s.ptr as *mut u8, s.len + 1);
        drop(Box::from_raw(bytes));
    }
    *s = empty_str();
}

fn empty_result() -> ClarabelFfiResult {
    ClarabelFfiResult {
        status: 0,
        iterations: 0,
        obj_val: f64::NAN,
        obj_val_dual: f64::NAN,
        r_prim: f64::NAN,
        r_dual: f64::NAN,
        solve_time: 0.0,
        linsolver: ClarabelFfiLinearSolverInfo {
            method: empty_str(),
            threads: 0,
            direct: 0,
            nnz_a: 0,
            nnz_l: 0,
        },
        error: empty_str(),
    }
}

fn status_number(status: SolverStatus) -> u32 {
    match status {
        SolverStatus::Unsolved => 0,
        SolverStatus::Solved => 1,
        SolverStatus::PrimalInfeasible => 2,
        SolverStatus::DualInfeasible => 3,
        SolverStatus::AlmostSolved => 4,
        SolverStatus::AlmostPrimalInfeasible => 5,
        SolverStatus::AlmostDualInfeasible => 6,
        SolverStatus::MaxIterations => 7,
        SolverStatus::MaxTime => 8,
        SolverStatus::NumericalError => 9,
        SolverStatus::InsufficientProgress => 10,
        SolverStatus::CallbackTerminated => 11,
    }
}

fn invalid(text: String) -> Failure {
    (CLARABEL_FFI_INVALID_ARGUMENT, text)
}

/// # Safety
/// As for `clarabel_ffi_solve`, with `settings`, `problem` and `buffers` not null.
unsafe fn run_solve(
    settings: &ClarabelFfiSettings,
    problem: &ClarabelFfiProblem,
    buffers: &ClarabelFfiSolutionBuffers,
    out: &mut ClarabelFfiResult,
) -> Result<(), Failure> {
    let settings = convert::settings(settings).map_err(invalid)?;
    let p = convert::csc_matrix(&problem.p, "P").map_err(invalid)?;
    let a = convert::csc_matrix(&problem.a, "A").map_err(invalid)?;
    let q = convert::slice(problem.q, problem.q_len, "q").map_err(invalid)?;
    let b = convert::slice(problem.b, problem.b_len, "b").map_err(invalid)?;
    let cones = convert::cones(problem.cones, problem.cones_len)?;

    let mut solver = DefaultSolver::new(&p, q, &a, b, &cones, settings)
        .map_err(|e| (CLARABEL_FFI_CONSTRUCTION_ERROR, e.to_string()))?;

    let x = convert::slice_mut(buffers.x, buffers.x_len, "x").map_err(invalid)?;
    let z = convert::slice_mut(buffers.z, buffers.z_len, "z").map_err(invalid)?;
    let s = convert::slice_mut(buffers.s, buffers.s_len, "s").map_err(invalid)?;
    if x.len() != q.len() || z.len() != b.len() || s.len() != b.len() {
        return Err(invalid(format!(
            "solution buffers have lengths x {}, z {}, s {}; the problem needs x {}, z and s {}",
            x.len(),
            z.len(),
            s.len(),
            q.len(),
            b.len()
        )));
    }

    solver.solve();

    let sol = &solver.solution;
    x.copy_from_slice(&sol.x);
    z.copy_from_slice(&sol.z);
    s.copy_from_slice(&sol.s);
    let lin = &solver.info.linsolver;
    *out = ClarabelFfiResult {
        status: status_number(sol.status),
        iterations: sol.iterations,
        obj_val: sol.obj_val,
        obj_val_dual: sol.obj_val_dual,
        r_prim: sol.r_prim,
        r_dual: sol.r_dual,
        solve_time: sol.solve_time,
        linsolver: ClarabelFfiLinearSolverInfo {
            method: owned_str(&lin.name),
            threads: lin.threads,
            direct: lin.direct as u8,
            nnz_a: lin.nnzA,
            nnz_l: lin.nnzL,
        },
        error: empty_str(),
    };
    Ok(())
}

/// Solves one conic program with Clarabel's default solver. See include/clarabel_ffi.h.
///
/// # Safety
/// Every pointer must be null or valid for the lengths given beside it; `out` must point to
/// writable memory for one result, whose previous contents are overwritten without being read.
#[no_mangle]
pub unsafe extern "C" fn clarabel_ffi_solve(
    settings: *const ClarabelFfiSettings,
    problem: *const ClarabelFfiProblem,
    buffers: *const ClarabelFfiSolutionBuffers,
    out: *mut ClarabelFfiResult,
) -> i32 {
    if out.is_null() {
        return CLARABEL_FFI_INVALID_ARGUMENT;
    }
    std::ptr::write(out, empty_result());
    let out = &mut *out;
    if settings.is_null() || problem.is_null() || buffers.is_null() {
        out.error = owned_str("settings, problem and solution buffers must not be null pointers");
        return CLARABEL_FFI_INVALID_ARGUMENT;
    }

    silence_panic_output();
    let outcome = catch_unwind(AssertUnwindSafe(|| {
        run_solve(&*settings, &*problem, &*buffers, out)
    }));
    let failure = match outcome {
        Ok(Ok(())) => return CLARABEL_FFI_OK,
        Ok(Err(failure)) => failure,
        Err(payload) => (CLARABEL_FFI_PANIC, panic_message(payload)),
    };
    // A failed call reports only the failure, whatever was filled before it.
    clarabel_ffi_result_free(out);
    *out = empty_result();
    out.error = owned_str(&failure.1);
    failure.0
}

/// Releases the strings of a result and resets them to empty. Safe on a result that was
/// already released or only filled by a failed call.
///
/// # Safety
/// `result` must be null or point to a result filled by `clarabel_ffi_solve`.
#[no_mangle]
pub unsafe extern "C" fn clarabel_ffi_result_free(result: *mut ClarabelFfiResult) {
    if let Some(r) = result.as_mut() {
        release_str(&mut r.linsolver.method);
        release_str(&mut r.error);
    }
}

/// Fills `out` with Clarabel's own default settings. The method string points to static
/// storage of this library and needs no release.
///
/// # Safety
/// `out` must be null or point to writable memory for one settings record.
#[no_mangle]
pub unsafe extern "C" fn clarabel_ffi_default_settings(out: *mut ClarabelFfiSettings) -> i32 {
    // The method string must outlive the call, so the default's copy is kept for the process.
    static DEFAULT_METHOD: OnceLock<String> = OnceLock::new();
    if out.is_null() {
        return CLARABEL_FFI_INVALID_ARGUMENT;
    }
    silence_panic_output();
    let outcome = catch_unwind(|| {
        let defaults = DefaultSettings::<f64>::default();
        let method = DEFAULT_METHOD.get_or_init(|| defaults.direct_solve_method.clone());
        convert::export_settings(&defaults, method.as_str())
    });
    match outcome {
        Ok(record) => {
            std::ptr::write(out, record);
            CLARABEL_FFI_OK
        }
        Err(_) => CLARABEL_FFI_PANIC,
    }
}

/// Copies `text` into the caller's buffer of `cap` bytes, cut to fit with a terminating NUL;
/// returns the length of the whole text.
///
/// # Safety
/// `buf` must be null (then nothing is written) or point to `cap` writable bytes.
unsafe fn copy_text(text: &str, buf: *mut c_char, cap: usize) -> usize {
    if !buf.is_null() && cap > 0 {
        let n = text.len().min(cap - 1);
        std::ptr::copy_nonoverlapping(text.as_ptr(), buf as *mut u8, n);
        *buf.add(n) = 0;
    }
    text.len()
}

/// Writes the layout of every record of this interface as text into `buf`. See
/// include/clarabel_ffi.h.
///
/// # Safety
/// `buf` must be null or point to `cap` writable bytes.
#[no_mangle]
pub unsafe extern "C" fn clarabel_ffi_layout(buf: *mut c_char, cap: usize) -> usize {
    copy_text(&checks::layout_text(), buf, cap)
}

/// Writes Clarabel's settings made from `*settings` as text into `buf`. See
/// include/clarabel_ffi.h.
///
/// # Safety
/// `settings` must be null or valid with its method string; `buf` null or `cap` writable bytes.
#[no_mangle]
pub unsafe extern "C" fn clarabel_ffi_settings_text(
    settings: *const ClarabelFfiSettings,
    buf: *mut c_char,
    cap: usize,
) -> usize {
    let text = match settings.as_ref() {
        None => Err("settings must not be a null pointer".to_string()),
        Some(s) => checks::settings_text(s),
    };
    copy_text(&text.unwrap_or_else(|e| e), buf, cap)
}

/// Converts `*settings` to Clarabel's settings and back into `*out`. See
/// include/clarabel_ffi.h.
///
/// # Safety
/// `settings` must be null or valid with its method string; `out` null or writable.
#[no_mangle]
pub unsafe extern "C" fn clarabel_ffi_settings_round_trip(
    settings: *const ClarabelFfiSettings,
    out: *mut ClarabelFfiSettings,
) -> i32 {
    match (settings.as_ref(), out.is_null()) {
        (Some(s), false) => match checks::settings_round_trip(s) {
            Ok(record) => {
                std::ptr::write(out, record);
                CLARABEL_FFI_OK
            }
            Err(_) => CLARABEL_FFI_INVALID_ARGUMENT,
        },
        _ => CLARABEL_FFI_INVALID_ARGUMENT,
    }
}
