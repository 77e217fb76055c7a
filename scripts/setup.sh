#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test qarn_py: Debian packages,
# a Rust toolchain (only when cargo is missing) and the Python virtual environment .venv (another
# one with VENV, of the interpreter PYTHON).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/apt_wait.sh

packages=(cmake ninja-build g++ make pkg-config libeigen3-dev libtbb-dev libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  apt_get update -qq
  apt_get install -y -qq "${missing[@]}"
fi

export PATH="$HOME/.cargo/bin:$PATH"
if ! command -v cargo >/dev/null 2>&1; then
  echo "setup: installing Rust from Debian (cargo not found)"
  apt_get install -y -qq cargo rustc
fi

PYTHON="${PYTHON:-python3}"
VENV="${VENV:-.venv}"
if [ ! -x "$VENV/bin/python" ]; then
  echo "setup: creating $VENV with $($PYTHON --version)"
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q -r requirements-dev.txt
