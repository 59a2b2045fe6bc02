#!/usr/bin/env bash
# The demo host must report a failed step as a failure: exit status 1, the
# step marked FAILED with the library's reason, and no claim of success.
#
#   demo_failure_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
demo=$build/examples/lustreapi-demo
work=$(mktemp -d "${TMPDIR:-/tmp}/lustreapi-demo-failure.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs the demo; $1 names the case, the rest are the lines its output must hold.
expect_failure() {
  local name=$1 status=0
  shift
  "$demo" "$work/mnt/lustre" "$work/archive" root >"$work/$name.out" 2>&1 || status=$?
  cat "$work/$name.out"
  [ "$status" -eq 1 ] || fail "$name: exit status $status, expected 1"
  ! grep -q 'every step succeeded' "$work/$name.out" || fail "$name: claims success"
  for line in "$@"; do
    grep -qF -- "$line" "$work/$name.out" || fail "$name: no line holding '$line'"
  done
}

mkdir -p "$work/mnt/lustre" "$work/archive"
export PATH="$build/sim/bin:$PATH"
export LUSTRE_SIM_STATE=$work/state
lustre-sim init "$LUSTRE_SIM_STATE" >/dev/null && lustre-sim add-fs lustre && lustre-sim mount lustre "$work/mnt/lustre" &&
  lustre-sim add-archive lustre 1 "$work/archive" && lustre-sim add-mds lustre 0 192.168.0.1 192.168.0.1@tcp

echo "=== no Lustre library on the library path"
(unset LD_LIBRARY_PATH; expect_failure unbound "FAILED: " "Load(liblustreapi.so) failed" "1 step(s) FAILED")

echo "=== the metadata server refuses the ssh login"
export LD_LIBRARY_PATH="$build/lustre/full"
expect_failure refused "-> copytool unregistered" "root@192.168.0.1: Permission denied (publickey)." \
  "1 step(s) FAILED"
echo "PASS"
