# Shared by the test and CI scripts: source it, do not run it.

# True when this shell may make a network namespace (root and unshare -n).
can_confine() {
  [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && unshare -n true 2>/dev/null
}

# Runs the command inside a new network namespace with only loopback up, so
# that nothing it does can reach beyond the machine; where no namespace can
# be made, runs it as it is.
run_confined() {
  if can_confine; then
    unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@"
  else
    "$@"
  fi
}

# The `env` arguments that unset every variable of src/net/endpoint-variables.tsv
# marked "-" and point the rest at their closed loopback ports, one a line:
# the one list every harness reads.
loopback_env_args() {
  local list
  list="$(dirname "${BASH_SOURCE[0]}")/../src/net/endpoint-variables.tsv"
  awk -F'\t' '/^[^#]/ && $2 == "-" { print "-u"; print $1 }' "$list"
  awk -F'\t' '/^[^#]/ && $2 != "-" { print $1 "=" $2 }' "$list"
}
