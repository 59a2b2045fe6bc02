#!/usr/bin/env bash
# Runs the commands of README.md as written, in order, as a newcomer would:
# in a fresh copy of the source tree (the files git tracks, and those it
# would track, with no build tree), with a new $HOME. Each shell block
# carries a marker on the line before it (a shell block without one fails
# the test):
#   <!-- setup: ... -->   one of the two set-up commands for a fresh machine:
#                         "bash scripts/test" (what CI runs, which runs this
#                         test: not run here) and the main job, run first,
#                         where GoogleTest can be found and pybind11 cannot
#                         (every configure it runs gets
#                         -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=TRUE)
#   <!-- run -->          run in order, in one shell, from the copy's root,
#                         where the main job left its build tree
#   <!-- file: PATH -->   (any language) written to PATH there before the runs
#   <!-- output of: CMD --> the block after it is what CMD prints (standard
#                         error, then standard output), but for the times: CMD
#                         is run at that point of the runs and compared
#   <!-- not run: WHY --> shown only; WHY says where what it does is tested
#
#   readme_test.sh SOURCE_DIR
# README_TEST_SKIP=REASON makes it print the reason and exit 77 (skipped).
set -euo pipefail
if [ -n "${README_TEST_SKIP:-}" ]; then
  echo "skipped: $README_TEST_SKIP"
  exit 77
fi
source_dir=$(cd "$1" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/lustreapi-readme.XXXXXX")
# Whatever the tools leave in TMPDIR (lintian leaves files) goes with the rest.
export TMPDIR="$work/tmp"
mkdir "$TMPDIR"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/blocks" "$work/sandbox" "$work/home" "$work/bin"
awk -v out="$work/blocks" '
  function bad(msg) { printf "README.md:%d: %s\n", NR, msg > "/dev/stderr"; failed = 1 }
  BEGIN { marker = ""; inblock = 0; setups = 0; files = 0; outputs = 0 }
  inblock && /^```[ \t]*$/ { inblock = 0; close(target); marker = ""; next }
  inblock { print > target; next }
  /^<!-- (setup: .*|run|file: .*|output of: .*|not run: .*) -->$/ { marker = $0; next }
  /^```/ {
    lang = substr($0, 4)
    shell = (lang == "sh" || lang == "bash" || lang == "shell" || lang == "console")
    if (marker ~ /^<!-- setup: /) {
      if (!shell) bad("a set-up block must be a shell block")
      target = out "/setup." (++setups)
    } else if (marker == "<!-- run -->") {
      if (!shell) bad("a run block must be a shell block")
      target = out "/run.sh"
    } else if (marker ~ /^<!-- file: /) {
      path = marker; sub(/^<!-- file: /, "", path); sub(/ -->$/, "", path)
      if (path ~ /(^\/|\.\.)/) bad("file path must stay in the scratch directory: " path)
      target = out "/file." (++files)
      print path > (out "/file." files ".path"); close(out "/file." files ".path")
    } else if (marker ~ /^<!-- output of: /) {
      command = marker; sub(/^<!-- output of: /, "", command); sub(/ -->$/, "", command)
      target = out "/output." (++outputs)
      printf "%s >\"%s.actual\" 2>&1\n", command, target >> (out "/run.sh")
    } else if (marker ~ /^<!-- not run: /) {
      why = marker; sub(/^<!-- not run: /, "", why); sub(/ -->$/, "", why)
      printf "not run (README.md:%d): %s\n", NR, why
      target = "/dev/null"
    } else if (shell) {
      bad("shell block without a marker"); target = "/dev/null"
    } else {
      target = "/dev/null"
    }
    printf "" >> target
    inblock = 1; next
  }
  /[^ \t]/ { marker = "" }
  END { if (inblock) bad("unterminated code block"); exit failed }
' "$source_dir/README.md" || fail "README.md blocks are not all marked"

# Exactly two set-up commands, one line each: the tests and the main job.
setups=("$work"/blocks/setup.*)
[ "${#setups[@]}" -eq 2 ] || fail "README.md has ${#setups[@]} set-up blocks, not 2"
main_job=
for f in "${setups[@]}"; do
  [ "$(grep -c . "$f")" -eq 1 ] || fail "set-up block $(basename "$f") is not a single command"
  command=$(grep . "$f")
  case $command in
  "bash scripts/test") ;;  # what CI runs (see above)
  *) main_job=$command ;;
  esac
done
[ -n "$main_job" ] || fail "no main-job command among the set-up commands"
grep -qx 'bash scripts/test' "${setups[@]}" || fail "the test command is not 'bash scripts/test'"

# The fresh copy, and a cmake before the system's that hides pybind11 from
# every configure (GoogleTest stays visible, as on a machine with the test
# frameworks but not the Python module's packages).
copy=$work/sandbox
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done | tar --null -T - -cf -) |
    tar -C "$copy" -xf -
else
  tar -C "$source_dir" --exclude='./build*' -cf - . | tar -C "$copy" -xf -
fi
[ ! -e "$copy/build" ] || fail "the copy of the source tree holds a build tree"
cmake_command=$(command -v "${CMAKE_COMMAND:-cmake}")
cat >"$work/bin/cmake" <<EOF
#!/bin/sh
case \$1 in --build|--install|-E|-P|--version|--help) exec "$cmake_command" "\$@" ;; esac
exec "$cmake_command" "\$@" -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=TRUE
EOF
chmod +x "$work/bin/cmake"

echo "=== set-up: $main_job"
(cd "$copy" && PATH="$work/bin:$PATH" HOME="$work/home" bash -c "$main_job") || fail "the main-job command failed"

for f in "$work"/blocks/file.*; do
  case $f in *.path) continue ;; esac
  [ -e "$f" ] || continue
  path=$(cat "$f.path")
  mkdir -p "$(dirname "$copy/$path")"
  cp "$f" "$copy/$path"
done
[ -s "$work/blocks/run.sh" ] || fail "README.md has no run blocks"
# Installing packages needs root; as another user, the packages an install
# line names are checked to be installed instead.
if [ "$(id -u)" -ne 0 ] && grep -q '^apt-get install ' "$work/blocks/run.sh"; then
  echo "not root: each 'apt-get install' line checks that its packages are installed instead"
  sed -E -i 's/^apt-get install( +-[^ ]+)* /dpkg -s /; /^dpkg -s /s/$/ >\/dev\/null/' "$work/blocks/run.sh"
fi
echo "=== run blocks"
(cd "$copy" && HOME="$work/home" bash -euxo pipefail "$work/blocks/run.sh") || fail "a README command failed"

# What the README shows a command printing, but for the times.
times='s/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z /TIME /'
for expected in "$work"/blocks/output.*; do
  case $expected in *.actual) continue ;; esac
  diff -u <(sed -E "$times" "$expected") <(sed -E "$times" "$expected.actual") ||
    fail "a command prints other than README.md shows ($(basename "$expected"))"
done
echo "PASS"
