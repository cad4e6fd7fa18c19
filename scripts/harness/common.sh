# Shared by the harness scripts: a facility that cannot start skips its tests outside CI and
# fails the run in CI.
unavailable() {
  if [ "${CI:-}" = "true" ]; then
    echo "harness: $1 (required in CI)" >&2
    exit 1
  fi
  echo "harness: skipping: $1" >&2
  exit 0
}
