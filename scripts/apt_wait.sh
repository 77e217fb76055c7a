# apt_get ARGS...: apt-get that waits while another package manager (an unattended upgrade,
# another setup) holds the apt or dpkg locks, instead of failing at once. It retries every
# APT_WAIT_INTERVAL seconds (5) for up to APT_WAIT_LIMIT seconds (900), then gives up with
# apt-get's own message; any other failure is reported at once. Runs through $sudo when set.
# Sourced by setup.sh.
apt_get() {
  local limit=${APT_WAIT_LIMIT:-900} interval=${APT_WAIT_INTERVAL:-5} log waited=0
  log=$(mktemp)
  until ${sudo:-} env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="$interval" "$@" >"$log" 2>&1; do
    if ! grep -qE "Could not get lock|Unable to acquire the dpkg frontend lock|Unable to lock" "$log" ||
       [ "$waited" -ge "$limit" ]; then
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    [ "$waited" -eq 0 ] && echo "setup: another package manager holds the apt lock; waiting (up to ${limit} s)" >&2
    sleep "$interval"
    waited=$((waited + (interval > 0 ? interval : 1)))
  done
  rm -f "$log"
}
