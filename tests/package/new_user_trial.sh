#!/usr/bin/env bash
# A new user's way through the README, as an ordinary user: no root, the PATH
# such a user logs in with (no /usr/sbin), a clean environment, a fresh clone
# of HEAD and nothing built. In it, each as the README or a developer runs it:
#   scripts/demo --once                (set-up and build included)
#   every ctest fixture's set-up and teardown, leaving nothing behind
#   scripts/package                    (a build directory of its own, clean)
#   tests/package/install_test.sh      with that package: a scratch root, a
#                                      receipt through the installed launcher
# and the package holds exactly what install() names (BUILD-DIR, fully built,
# installed into a staging directory). Run as root, it makes a throwaway user
# for this and removes it after; run as an ordinary user, it runs as that one.
#   new_user_trial.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
src=${1:?source directory}
build=${2:?build directory}
. "$src/tests/harness/syspath.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d /tmp/kv-trial.XXXXXX)
chmod 755 "$work"
user=$(id -un)
made_user=0
cleanup() {
  set +e
  if [ "$made_user" -eq 1 ]; then
    # Whatever the run left behind belongs to this user alone.
    for _ in 1 2 3; do
      left=$(ps -o pid= -u "$user" 2>/dev/null | tr -d ' ')
      [ -z "$left" ] && break
      # shellcheck disable=SC2086
      kill -KILL $left 2>/dev/null
      sleep 0.2
    done
    userdel "$user" >/dev/null
  fi
  [ -n "${own:-}" ] && [ -w "$own" ] && cp -rn "$dir/." "$own/"
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$(id -u)" -eq 0 ]; then
  user="kvnew$$"
  useradd --home-dir "$work/home" --no-create-home --shell /bin/bash --user-group "$user" \
    || fail "useradd $user"
  made_user=1
fi
mkdir -p "$work/home"

# What a clone of the repository gives: HEAD, committed (a checkout only root
# can read, under /root say, does not stand in the way).
head=$(git -C "$src" rev-parse --short HEAD) || fail "$src is not a git checkout"
git -C "$src" bundle create "$work/head.bundle" HEAD 2>/dev/null || fail "git bundle of $src"
chmod 644 "$work/head.bundle"
chown -R "$user": "$work/home"

# As the user logs in: Debian's PATH for users, nothing else of this shell's.
as_user() {
  local run=()
  [ "$(id -u)" -eq 0 ] && run=(setpriv --reuid="$user" --regid="$user" --init-groups --)
  "${run[@]}" env -i HOME="$work/home" USER="$user" LOGNAME="$user" LANG=C.UTF-8 \
    PATH=/usr/local/bin:/usr/bin:/bin "${cache[@]}" "$@"
}
# This machine's builds go through ccache: the user's then do too, with a cache of its own kept beside
# BUILD-DIR that starts as a copy of the caller's and gives back what it compiled (the package's optimised
# build, which nothing else makes), so that the builds below take seconds. A cache changes nothing they make.
cache=()
if [ "${CMAKE_CXX_COMPILER_LAUNCHER:-}" = ccache ] && command -v ccache >/dev/null; then
  dir="$build/new-user-ccache"
  mkdir -p "$dir"
  chown -R "$user": "$dir" 2>/dev/null || true
  # Not where the user cannot reach it (a build under /root): one of this run's own.
  if ! as_user test -w "$dir"; then
    dir="$work/ccache"
    mkdir -p "$dir"
  fi
  own=$(ccache -k cache_dir 2>/dev/null || true)
  if [ -z "$(ls -A "$dir")" ] && [ -d "$own" ]; then
    cp -a "$own/." "$dir/" 2>/dev/null || true
    rm -f "$dir/ccache.conf"
  fi
  chown -R "$user": "$dir" 2>/dev/null || true
  if as_user test -w "$dir"; then
    cache=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache CCACHE_DIR="$dir"
           CCACHE_BASEDIR="$work" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G)
  fi
fi

clone="$work/home/korvantis"
step_started=$SECONDS
step() {
  echo "== $* ($((SECONDS - step_started)) s)"
  step_started=$SECONDS
}
echo "== as $user (uid $(id -u "$user")), PATH /usr/local/bin:/usr/bin:/bin, a clone of $head"
as_user git -c advice.detachedHead=false clone -q "$work/head.bundle" "$clone" || fail "git clone as $user"
step "cloned"

as_user "$clone/tests/demo/demo_once.sh" "$clone" >"$work/demo.log" 2>&1 \
  || { cat "$work/demo.log" >&2; fail "scripts/demo --once as $user"; }
step "scripts/demo --once: a receipt at its printer"

# Every fixture the suite has, as ctest orders them; what their teardowns
# leave is the user's: anything of its own in /tmp that was not there before.
own_tmp() { find /tmp -maxdepth 1 -user "$user" -name 'kv-*' ! -path "$work" | sort; }
before=$(own_tmp)
as_user ctest --test-dir "$clone/build" -R '^fixture_' --output-on-failure >"$work/fixtures.log" 2>&1 \
  || { cat "$work/fixtures.log" >&2; fail "a fixture's set-up or teardown as $user"; }
grep -q "_setup .*Passed" "$work/fixtures.log" || { cat "$work/fixtures.log" >&2; fail "ctest found no fixtures"; }
left=$(comm -13 <(echo "$before") <(own_tmp))
[ -z "$left" ] || fail "the fixtures' teardowns left: $left"
step "every fixture set up and torn down: $(grep -c '_setup .*Passed' "$work/fixtures.log") set-ups"

as_user "$clone/scripts/package" >"$work/package.log" 2>&1 || { cat "$work/package.log" >&2; fail "scripts/package as $user"; }
deb=$(ls "$clone"/dist/korvantis-launcher_*.deb)
step "scripts/package: $(basename "$deb")"

as_user "$clone/tests/package/install_test.sh" "$clone/build" "$deb" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log" >&2; fail "the package's install test as $user"; }
step "installed into a scratch root, a receipt through the installed launcher, purged"

# What install() names, from the build of every target, package by package
# (each one install() component): a target that scripts/package does not
# build would make CPack fail, one installed only when present would be
# missing here.
for component in launcher fleet; do
  pkg=$(ls "$clone"/dist/korvantis-"$component"_*.deb)
  DESTDIR="$work/staged-$component" cmake --install "$build" --prefix / --component "$component" \
    >"$work/staged.log" 2>&1 \
    || { cat "$work/staged.log" >&2; fail "cmake --install $build --component $component (build every target first)"; }
  named=$(cd "$work/staged-$component" && find . ! -type d | sort)
  packed=$(dpkg-deb -c "$pkg" | awk '$1 !~ /^d/ {print $6}' | sort)
  [ "$named" = "$packed" ] || fail "$(basename "$pkg") differs from what install() names (< install, > package; a commit of HEAD $head):
$(diff <(echo "$named") <(echo "$packed") | grep '^[<>]')"
done
step "each package holds what install() names for it"
