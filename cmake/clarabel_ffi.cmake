# Builds our Rust staticlib bridge to the Clarabel conic solver with cargo and exposes it as the
# imported target `clarabel_ffi` (C header in native/clarabel_ffi/include).
find_program(CARGO_EXECUTABLE cargo HINTS $ENV{CARGO_HOME}/bin $ENV{HOME}/.cargo/bin REQUIRED)

set(CLARABEL_FFI_DIR ${PROJECT_SOURCE_DIR}/native/clarabel_ffi)
# Build directories that differ only in C++ flags (the sanitizer build) may share one.
set(CLARABEL_FFI_TARGET_DIR ${CMAKE_BINARY_DIR}/cargo CACHE PATH "cargo's target directory for the Clarabel bridge")
set(CLARABEL_FFI_LIB ${CLARABEL_FFI_TARGET_DIR}/release/${CMAKE_STATIC_LIBRARY_PREFIX}clarabel_ffi${CMAKE_STATIC_LIBRARY_SUFFIX})
file(GLOB_RECURSE CLARABEL_FFI_RS CONFIGURE_DEPENDS ${CLARABEL_FFI_DIR}/src/*.rs)
set(CLARABEL_FFI_CARGO_ARGS --release --locked --manifest-path ${CLARABEL_FFI_DIR}/Cargo.toml
                            --target-dir ${CLARABEL_FFI_TARGET_DIR})
# Crates with C parts read CC, and cargo rebuilds them and all that depends on them when it
# changes: pip's build sets CC, a plain CMake build does not. Cargo runs with CC set to this build's
# C compiler by its real path, the same whatever name it was found by, so build directories that
# share the target directory do not rebuild the bridge for each other.
file(REAL_PATH ${CMAKE_C_COMPILER} clarabel_ffi_cc)
set(CLARABEL_FFI_CARGO ${CMAKE_COMMAND} -E env CC=${clarabel_ffi_cc} ${CARGO_EXECUTABLE})

# The system libraries the static library needs, as rustc reports them for it. The first
# configure builds the crate for the answer (the build would do so anyway); later ones get it
# from cargo's replay of the cached compiler output in a fraction of a second.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CLARABEL_FFI_DIR}/Cargo.toml ${CLARABEL_FFI_DIR}/Cargo.lock)
execute_process(
  COMMAND ${CLARABEL_FFI_CARGO} rustc ${CLARABEL_FFI_CARGO_ARGS} --lib -- --print native-static-libs
  RESULT_VARIABLE clarabel_ffi_rc
  OUTPUT_QUIET
  ERROR_VARIABLE clarabel_ffi_log)
string(REGEX MATCH "native-static-libs: ([^\r\n]*)" clarabel_ffi_match "${clarabel_ffi_log}")
if(NOT clarabel_ffi_rc EQUAL 0 OR clarabel_ffi_match STREQUAL "")
  message(FATAL_ERROR "cargo could not build the Clarabel bridge or name its native libraries:\n${clarabel_ffi_log}")
endif()
separate_arguments(clarabel_ffi_flags UNIX_COMMAND "${CMAKE_MATCH_1}")
set(CLARABEL_FFI_NATIVE_LIBS)
foreach(flag IN LISTS clarabel_ffi_flags)
  string(REGEX REPLACE "^-l" "" library "${flag}")
  list(APPEND CLARABEL_FFI_NATIVE_LIBS ${library})
endforeach()
message(STATUS "Native libraries of the Clarabel bridge: ${CLARABEL_FFI_NATIVE_LIBS}")

add_custom_command(
  OUTPUT ${CLARABEL_FFI_LIB}
  COMMAND ${CLARABEL_FFI_CARGO} build ${CLARABEL_FFI_CARGO_ARGS}
  DEPENDS ${CLARABEL_FFI_RS} ${CLARABEL_FFI_DIR}/Cargo.toml ${CLARABEL_FFI_DIR}/Cargo.lock
  COMMENT "Building the Clarabel bridge (cargo)"
  USES_TERMINAL)
add_custom_target(clarabel_ffi_build DEPENDS ${CLARABEL_FFI_LIB})

add_library(clarabel_ffi STATIC IMPORTED GLOBAL)
set_target_properties(clarabel_ffi PROPERTIES
  IMPORTED_LOCATION ${CLARABEL_FFI_LIB}
  INTERFACE_INCLUDE_DIRECTORIES ${CLARABEL_FFI_DIR}/include
  INTERFACE_LINK_LIBRARIES "${CLARABEL_FFI_NATIVE_LIBS}"
  # Keep the Rust runtime's ~1000 global symbols out of the extension module's dynamic table.
  INTERFACE_LINK_OPTIONS "LINKER:--exclude-libs,${CMAKE_STATIC_LIBRARY_PREFIX}clarabel_ffi${CMAKE_STATIC_LIBRARY_SUFFIX}")
add_dependencies(clarabel_ffi clarabel_ffi_build)
