"""scripts/apt_wait.sh, which setup.sh uses for every apt-get call: it waits while another package
manager holds the lock and then runs, reports any other failure at once, and gives up after its
limit. A stand-in apt-get on PATH plays the package manager."""

import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
LOCKED = "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)"


def run_apt_get(tmp_path, answers, limit=900):
    """apt_get install -y pkg against a stand-in apt-get that answers each call with the next of
    `answers` ("ok", "locked" or "broken"); returns the exit status, standard error and the calls."""
    fake = tmp_path / "bin"
    fake.mkdir()
    (tmp_path / "answers").write_text("\n".join(answers) + "\n")
    (fake / "apt-get").write_text(f"""#!/usr/bin/env bash
echo "$*" >> {tmp_path}/calls
answer=$(head -n 1 {tmp_path}/answers); sed -i 1d {tmp_path}/answers
case "$answer" in
  ok) exit 0 ;;
  locked) echo "{LOCKED}" >&2; exit 100 ;;
  *) echo "E: Unable to locate package pkg" >&2; exit 100 ;;
esac
""")
    (fake / "apt-get").chmod(0o755)
    env = dict(os.environ, PATH=f"{fake}:{os.environ['PATH']}", APT_WAIT_INTERVAL="1", APT_WAIT_LIMIT=str(limit))
    done = subprocess.run(["bash", "-c", f"source {ROOT}/scripts/apt_wait.sh && apt_get install -y pkg"],
                          env=env, capture_output=True, text=True, timeout=60)
    calls = (tmp_path / "calls").read_text().splitlines()
    return done.returncode, done.stderr, calls


def test_waits_for_the_lock_then_installs(tmp_path):
    status, stderr, calls = run_apt_get(tmp_path, ["locked", "locked", "ok"])
    assert status == 0
    assert calls == ["-o DPkg::Lock::Timeout=1 install -y pkg"] * 3
    assert stderr == "setup: another package manager holds the apt lock; waiting (up to 900 s)\n"


@pytest.mark.parametrize("answers, limit, expected_calls", [(["broken", "ok"], 900, 1),
                                                            (["locked"] * 5, 2, 3)])
def test_other_failures_at_once_and_a_lock_held_past_the_limit(tmp_path, answers, limit, expected_calls):
    status, stderr, calls = run_apt_get(tmp_path, answers, limit)
    assert status == 1 and len(calls) == expected_calls
    assert stderr.endswith(("E: Unable to locate package pkg\n", LOCKED + "\n"))
