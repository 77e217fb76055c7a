# Builds our Rust staticlib bridge to the Clarabel conic solver with cargo and exposes it as the
# imported target `clarabel_ffi` (C header in native/clarabel_ffi/include).
find_program(CARGO_EXECUTABLE cargo HINTS $ENV{CARGO_HOME}/bin $ENV{HOME}/.cargo/bin REQUIRED)

set(CLARABEL_FFI_DIR ${PROJECT_SOURCE_DIR}/native/clarabel_ffi)
set(CLARABEL_FFI_TARGET_DIR ${CMAKE_BINARY_DIR}/cargo)
set(CLARABEL_FFI_LIB ${CLARABEL_FFI_TARGET_DIR}/release/${CMAKE_STATIC_LIBRARY_PREFIX}clarabel_ffi${CMAKE_STATIC_LIBRARY_SUFFIX})
file(GLOB_RECURSE CLARABEL_FFI_RS CONFIGURE_DEPENDS ${CLARABEL_FFI_DIR}/src/*.rs)

add_custom_command(
  OUTPUT ${CLARABEL_FFI_LIB}
  COMMAND ${CARGO_EXECUTABLE} build --release --locked
          --manifest-path ${CLARABEL_FFI_DIR}/Cargo.toml --target-dir ${CLARABEL_FFI_TARGET_DIR}
  DEPENDS ${CLARABEL_FFI_RS} ${CLARABEL_FFI_DIR}/Cargo.toml ${CLARABEL_FFI_DIR}/Cargo.lock
  COMMENT "Building the Clarabel bridge (cargo)"
  USES_TERMINAL)
add_custom_target(clarabel_ffi_build DEPENDS ${CLARABEL_FFI_LIB})

add_library(clarabel_ffi STATIC IMPORTED GLOBAL)
set_target_properties(clarabel_ffi PROPERTIES
  IMPORTED_LOCATION ${CLARABEL_FFI_LIB}
  INTERFACE_INCLUDE_DIRECTORIES ${CLARABEL_FFI_DIR}/include
  # The system libraries the Rust standard library needs (`rustc --print native-static-libs`).
  INTERFACE_LINK_LIBRARIES "Threads::Threads;${CMAKE_DL_LIBS};m;rt;util;gcc_s"
  # Keep the Rust runtime's ~1000 global symbols out of the extension module's dynamic table.
  INTERFACE_LINK_OPTIONS "LINKER:--exclude-libs,${CMAKE_STATIC_LIBRARY_PREFIX}clarabel_ffi${CMAKE_STATIC_LIBRARY_SUFFIX}")
add_dependencies(clarabel_ffi clarabel_ffi_build)
