# Sourced first by the tests that run as root in a network and mount namespace of their own: re-runs the script
# there (status 77 and a message where none can be made), then puts ADDRESS on its loopback and a tmpfs over /run
# (the local sockets of the servers the test starts).   . own_namespace.sh ADDRESS "$@"
if [ -z "${OWN_NAMESPACE:-}" ]; then
  [ "$(id -u)" = 0 ] || { echo "SKIPPED: the test's own network namespace needs root"; exit 77; }
  unshare -n -m true 2>/dev/null || { echo "SKIPPED: no network namespace can be made here (unshare -n -m)"; exit 77; }
  OWN_NAMESPACE=1 exec unshare -n -m bash "$0" "${@:2}"
fi
unset OWN_NAMESPACE
ip link set lo up && ip addr add "$1/32" dev lo && mount --make-rprivate / && mount -t tmpfs tmpfs /run ||
  { echo "SKIPPED: the namespace's loopback or /run cannot be set up"; exit 77; }
