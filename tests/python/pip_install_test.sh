#!/usr/bin/env bash
# "pip install ." as README.md shows it: the shell lines of its indented block
# after the "<!-- pip: ... -->" marker, run from a copy of the source tree
# with a new $HOME; then the installed module is imported from the
# environment, with the libraries it carries, and used against the stand-in.
#
#   pip_install_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/lustreapi-pip.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

awk '/^<!-- pip: / { on = 1; next } on && /^    / { sub(/^    /, ""); print; next } on && /[^ ]/ && !/^    / { exit }
     on && /^$/ && n++ { exit }' "$source_dir/README.md" >"$work/commands.sh"
[ "$(grep -c . "$work/commands.sh")" -ge 2 ] || fail "no pip commands after the marker in README.md"
grep -q 'pip install' "$work/commands.sh" || fail "README.md's pip block installs nothing"

mkdir "$work/source" "$work/home"
tar -C "$source_dir" --exclude='./build*' --exclude='./.git' --exclude='*.egg-info' -cf - . | tar -C "$work/source" -xf -
(cd "$work/source" && HOME="$work/home" bash -euxo pipefail "$work/commands.sh") >"$work/pip.log" 2>&1 ||
  { tail -40 "$work/pip.log"; fail "the README's pip commands failed"; }

python=$work/home/venv/bin/python
site=$("$python" -c 'import lustreapi, os; print(os.path.dirname(lustreapi.__file__))') || fail "import lustreapi"
[[ $site == "$work/home/venv/"* ]] || fail "lustreapi imported from $site, not from the environment"
resolved=$(ldd "$site"/_lustreapi.*.so | awk '$1 == "libLustreAPI.so.1" { print $3 }')
[ "$resolved" = "$site/libLustreAPI.so.1" ] || fail "the module loads libLustreAPI.so.1 from '$resolved'"
"$python" -c 'import lustreapi; lustreapi.load(); print(lustreapi.Fid("[0x200000400:0x1:0x0]"))' |
  grep -qx '\[0x200000400:0x1:0x0\]' || fail "the installed module does not work"
echo PASS
