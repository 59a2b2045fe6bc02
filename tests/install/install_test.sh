#!/usr/bin/env bash
# Installs a built tree as a host developer gets it, builds the demo host
# (examples/) against it with the CMake package and with pkg-config, and runs
# it against the installed stand-in.
#
#   install_test.sh tree BUILD_DIR   cmake --install of the four components
#                                    into a temporary prefix
#   install_test.sh deb BUILD_DIR    cpack -G DEB, checks the packages'
#                                    dependencies and layout, has lintian check
#                                    them, then installs them with apt-get as
#                                    root in CI (CI=true; purged afterwards),
#                                    otherwise with "dpkg -x" into a throwaway
#                                    root
#
# LUSTREAPI_TEST_CXXFLAGS: extra compiler flags for the demo host (the
# sanitizer build's -fsanitize flags).
set -euo pipefail

mode=$1
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
cmake=${CMAKE_COMMAND:-cmake}
cpack=${CPACK_COMMAND:-cpack}
cxxflags=${LUSTREAPI_TEST_CXXFLAGS:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/lustreapi-install.XXXXXX")
# Whatever the tools leave in TMPDIR (lintian leaves files) goes with the rest.
export TMPDIR="$work/tmp"
mkdir "$TMPDIR"
installed_debs=()
cleanup() {
  if ((${#installed_debs[@]})); then
    dpkg --purge "${installed_debs[@]}" >/dev/null || echo "warning: could not purge ${installed_debs[*]}" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
expect_files() { local dir=$1 f; shift; for f in "$@"; do [ -e "$dir/$f" ] || fail "missing $dir/$f"; done; }
expect_absent() { local f; for f in "$@"; do [ ! -e "$f" ] || fail "$f is installed"; done; }

# Builds the demo host (examples/, a copytool in Lustre's idiom) against the
# installed tree: with the CMake package and Lustre's header put ahead of
# LustreAPI.h in every file, and with pkg-config as written. Each build must
# load the installed libraries, not the build tree's, and run every step
# against a fresh installed stand-in.
#   $1 prefix (what CMAKE_PREFIX_PATH names), $2 its library directory
run_consumers() {
  local prefix=$1 libdir=$2 flags program lib resolved
  local simdir=$libdir/lustreapi-sim
  expect_files "$simdir" liblustreapi.so liblustreapi.so.1 bin/lctl bin/lfs bin/ssh bin/lustre-sim \
    include/lustre/lustreapi.h include/linux/lustre/lustre_user.h
  [ -z "$(ls "$libdir" | grep '^liblustreapi\.so')" ] || fail "the stand-in library lies in $libdir itself"
  export PATH="$simdir/bin:$PATH" LD_LIBRARY_PATH="$simdir:$libdir" LUSTRE_SIM_STATE=$work/state

  echo "--- CMake package (find_package(LustreAPI CONFIG)) and pkg-config"
  "$cmake" -S "$here/consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DDEMO_DIR="$source/examples" \
    -DCOMMON_INCLUDE_DIR="$source/common/include" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_BUILD_TYPE=Debug >/dev/null
  "$cmake" --build "$work/cmake" >/dev/null
  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs LustreAPI lustreapi-sim)
  # shellcheck disable=SC2086  # the flags are words
  ${CXX:-c++} -std=c++17 $cxxflags -I"$source/common/include" "$source"/examples/*.cpp $flags -o "$work/demo-pc"
  for program in "$work/cmake/demo-lustre-first" "$work/demo-pc"; do
    for lib in libLustreAPI.so.1 libKxUtils.so.1 libZqLib.so.1; do
      resolved=$(ldd "$program" | awk -v l="$lib" '$1 == l { print $3 }')
      [ "$(readlink -f "$resolved")" = "$(readlink -f "$libdir/$lib")" ] ||
        fail "$program loads $lib from '$resolved', not from $libdir"
    done
    rm -rf "$work/state" "$work/mnt" "$work/archive"
    mkdir -p "$work/mnt" "$work/archive"
    lustre-sim init "$LUSTRE_SIM_STATE" >/dev/null
    lustre-sim add-fs lustre --mdts 2
    lustre-sim mount lustre "$work/mnt"
    lustre-sim add-archive lustre 1 "$work/archive"
    for i in 0 1; do
      lustre-sim add-mds lustre $i 192.168.0.$((i + 1)) 192.168.0.$((i + 1))@tcp
      lustre-sim allow-login root 192.168.0.$((i + 1))
    done
    "$program" "$work/mnt" "$work/archive" root >"$work/demo.log" 2>&1 || { cat "$work/demo.log"; fail "$program"; }
  done
  run_python "$prefix/lib/python3/dist-packages" "$libdir"
}

# The Python module from the installed tree, with the installed library, and
# the policy example on the stand-in the demo left behind.
run_python() {
  local site=$1 libdir=$2 python=${PYTHON:-python3} found
  [ -d "$site/lustreapi" ] || { echo "--- no Python module installed (not built)"; return; }
  echo "--- the Python module"
  found=$(PYTHONPATH=$site "$python" -c 'import lustreapi, sys; lustreapi.load(); print(lustreapi.__file__)') ||
    fail "import lustreapi from $site"
  [ "$found" = "$site/lustreapi/__init__.py" ] || fail "lustreapi imported from $found, not from $site"
  resolved=$(ldd "$site"/lustreapi/_lustreapi.*.so | awk '$1 == "libLustreAPI.so.1" { print $3 }')
  [ "$(readlink -f "$resolved")" = "$(readlink -f "$libdir/libLustreAPI.so.1")" ] ||
    fail "the module loads libLustreAPI.so.1 from '$resolved', not from $libdir"
  PYTHONPATH=$site "$python" "$source/examples/python/policy.py" "$work/mnt" --days 0 >"$work/policy.log" 2>&1 ||
    { cat "$work/policy.log"; fail "policy.py with the installed module"; }
}

# $1 is (or, with !, is not) a line of the file list of package $2.
holds() {
  local want=yes pattern=$1
  [ "$pattern" = "!" ] && want=no pattern=$2 && shift
  if grep -q "$pattern" "$work/$2.files"; then [ $want = yes ]; else [ $want = no ]; fi ||
    fail "package $2: '$pattern' expected $want"
}

case $mode in
tree)
  prefix=$work/prefix
  for component in runtime development simulator python; do
    "$cmake" --install "$build" --prefix "$prefix" --component "$component" >/dev/null
  done
  libdir=$(dirname "$(find "$prefix" -name libLustreAPI.so.1 | head -n1)")
  expect_files "$libdir" libLustreAPI.so.1 libKxUtils.so.1 libZqLib.so.1 libLustreAPI.so pkgconfig/LustreAPI.pc \
    cmake/LustreAPI/LustreAPIConfig.cmake cmake/LustreAPI/LustreAPIConfigVersion.cmake
  expect_files "$prefix/include/LustreAPI" LustreAPI.h KxUtils.h ZqLib.h HBError.h
  # The API reference, when Doxygen is there to render it.
  if command -v doxygen >/dev/null; then
    expect_files "$prefix/share" doc/liblustreapi-host-dev/html/index.html man/man3/LustreAPI_CLustreFID.3.gz \
      man/man3/lustreapi_file_identifiers.3.gz
  fi
  # No internal header; no stand-in header or tool on the search paths.
  expect_absent "$prefix/include/LustreAPI/ArgumentChecks.h" "$prefix/include/lustre" "$prefix/include/linux" \
    "$prefix/bin/ssh"
  run_consumers "$prefix" "$libdir"
  ;;
deb)
  "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack"; }
  runtime=$(ls "$work"/packages/liblustreapi-host1_*.deb)
  dev=$(ls "$work"/packages/liblustreapi-host-dev_*.deb)
  sim=$(ls "$work"/packages/lustreapi-sim_*.deb)
  python=$(ls "$work"/packages/python3-lustreapi_*.deb 2>/dev/null || true)
  debs=("$runtime" "$dev" "$sim" ${python:+"$python"})
  version=$(dpkg-deb -f "$runtime" Version)

  # Dependencies: the runtime on the C and C++ runtimes (from dpkg-shlibdeps),
  # the development files on exactly this runtime, the stand-in on no part
  # of the library.
  depends=$(dpkg-deb -f "$runtime" Depends)
  [[ $depends == *libc6* && $depends == *libstdc++6* && $depends != *sqlite* ]] || fail "runtime Depends: '$depends'"
  depends=$(dpkg-deb -f "$dev" Depends)
  [[ $depends == *"liblustreapi-host1 (= $version)"* ]] || fail "development Depends: '$depends'"
  # ssh for the changelog administration, which not every host uses.
  recommends=$(dpkg-deb -f "$runtime" Recommends)
  [ "$recommends" = "openssh-client" ] || fail "runtime Recommends: '$recommends'"
  depends=$(dpkg-deb -f "$sim" Depends)
  [[ $depends == *libc6* && $depends == *libsqlite3-0* && $depends != *liblustreapi-host* ]] ||
    fail "stand-in Depends: '$depends'"
  # Each file in exactly one package; nothing on the system's command path.
  for deb in runtime dev sim ${python:+python}; do dpkg-deb -c "${!deb}" | awk '{ print $6 }' >"$work/$deb.files"; done
  # Libraries in Debian's multiarch directory.
  libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  holds "^\.$libdir/libLustreAPI\.so\.1\$" runtime
  holds ! '\.h$' runtime
  holds '^\./usr/include/LustreAPI/LustreAPI\.h$' dev
  if command -v doxygen >/dev/null; then
    holds '^\./usr/share/doc/liblustreapi-host-dev/html/index\.html$' dev
    holds '^\./usr/share/man/man3/lustreapi_hsm_user_requests\.3\.gz$' dev
    holds '^\./usr/share/man/man3/LustreAPI_CLustreFID\.3\.gz$' dev
  fi
  holds "^\.$libdir/lustreapi-sim/liblustreapi\.so\.1\$" sim
  holds "^\.$libdir/lustreapi-sim/include/lustre/lustreapi\.h\$" sim
  holds ! '^\./usr/bin/' sim
  holds ! '^\./usr/include/' sim
  if [ -n "$python" ]; then
    depends=$(dpkg-deb -f "$python" Depends)
    [[ $depends == *"liblustreapi-host1 (= $version)"* && $depends == *"python3 (>= 3."* ]] ||
      fail "python Depends: '$depends'"
    holds '^\./usr/lib/python3/dist-packages/lustreapi/_lustreapi\.cpython-.*\.so$' python
    holds '^\./usr/lib/python3/dist-packages/lustreapi/py\.typed$' python
    holds ! "^\.$libdir/" python
  fi
  if command -v lintian >/dev/null; then
    echo "--- lintian"
    lintian --fail-on error,warning "$work"/packages/*.deb "$work"/packages/*.ddeb || fail "lintian"
  else
    echo "--- lintian is not installed: the packages are not checked with it"
  fi

  if [ "${CI:-}" = "true" ] && [ "$(id -u)" -eq 0 ]; then
    echo "--- apt-get install of the packages"
    installed_debs=(liblustreapi-host-dev liblustreapi-host1 lustreapi-sim ${python:+python3-lustreapi})
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${debs[@]}" >/dev/null
    run_consumers /usr "$libdir"
  else
    echo "--- dpkg -x of the packages into $work/root (not root in CI)"
    for deb in "${debs[@]}"; do dpkg -x "$deb" "$work/root"; done
    run_consumers "$work/root/usr" "$work/root$libdir"
  fi
  ;;
*)
  fail "unknown mode '$mode'"
  ;;
esac
echo "PASS"
