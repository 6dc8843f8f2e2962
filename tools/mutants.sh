#!/usr/bin/env bash
# Deliberate faults, one at a time: each must make the test that claims to
# cover it fail. A mutant the tests let through is a gap in the tests.
#
#   tools/mutants.sh [-k] [--list FILE] [NAME-REGEX]
#
# The list is tools/mutants.list (or FILE), one mutant a line:
#
#   name | file | sed expression | ctest regex
#
# (fields separated by " | ", a space on each side)
# The script makes a scratch copy of this tree as it is now (a git worktree
# of HEAD plus the uncommitted changes, in build-mutants/tree), configures
# one build there (build-mutants/tree/build), and for each mutant: applies the sed expression to the file
# (a mutant that changes nothing is an error in the list), builds only what
# the named tests need, runs them, and restores the file. It prints one line
# a mutant, "caught" or "MISSED", and a count; it exits non-zero when a
# mutant was missed or could not be applied or built. -k keeps the scratch
# copy. Not part of CI's run (minutes per mutant); run it before closing
# work on one of the areas the list covers.
#
# Each mutant's build holds that mutant's fault and no other. The restored
# file is written anew (a time stamp newer than the objects built from the
# mutant, so make rebuilds them), the programs are rebuilt at once, and
# every program and library of the scratch build is compared with what the
# unmutated sources made (by hash), before each mutant and after it: a
# program that still differs is an ERROR, never a result.
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD
KEEP=0
LIST=$TOP/tools/mutants.list
while [ $# -gt 0 ]; do
  case $1 in
  -k) KEEP=1; shift ;;
  --list) LIST=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
  *) break ;;
  esac
done
FILTER=${1:-.}
# MUTANTS_DIR: where the scratch copy and the logs go (default
# build-mutants in this tree).
WORKDIR=${MUTANTS_DIR:-$TOP/build-mutants}
SCRATCH=$WORKDIR/tree
# The build sits in the copy as build/ sits in this tree, so the compiler
# sees the same relative paths and ccache serves what this tree's build made.
BUILD=$SCRATCH/build
LOGS=$WORKDIR/logs

cleanup() {
  if [ $KEEP -eq 0 ]; then
    git -C "$TOP" worktree remove --force "$SCRATCH" >/dev/null 2>&1 || rm -rf "$SCRATCH"
  fi
}
trap cleanup EXIT

rm -rf "$LOGS"
mkdir -p "$LOGS"
if [ ! -d "$SCRATCH" ]; then
  git -C "$TOP" worktree prune
  git -C "$TOP" worktree add --detach -f "$SCRATCH" HEAD >/dev/null
fi
# The scratch copy is this tree as it stands, edits not yet committed included.
git -C "$SCRATCH" checkout -q --detach HEAD
git -C "$SCRATCH" reset -q --hard "$(git -C "$TOP" rev-parse HEAD)"
git -C "$TOP" diff HEAD --binary | git -C "$SCRATCH" apply --allow-empty 2>/dev/null || true
git -C "$TOP" ls-files -z --others --exclude-standard | tar --null -T - -cf - | tar -C "$SCRATCH" -xf -

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Paths relative to the build directory and no working directory in the
  # hash: only what differs from a build of this tree is compiled (build
  # this tree with CCACHE_BASEDIR and CCACHE_NOHASHDIR=1 set alike).
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$TOP} CCACHE_NOHASHDIR=1
fi
echo "== configuring the scratch build ($BUILD)"
cmake -S "$SCRATCH" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >"$LOGS/configure.txt" 2>&1 || {
  tail -n 20 "$LOGS/configure.txt"
  exit 1
}

caught=0
missed=0
broken=0
# What the unmutated sources built: program or library -> its hash.
declare -A PRISTINE=()
# check_built: STALE becomes the programs and libraries of the scratch
# build that differ from what the unmutated sources built (those seen first
# are taken as such: this is only called when the sources are unmutated).
# Not in a subshell: PRISTINE must keep what it learns.
STALE=
check_built() {
  local sum f out=()
  while read -r sum f; do
    if [ -z "${PRISTINE[$f]:-}" ]; then
      PRISTINE[$f]=$sum
    elif [ "${PRISTINE[$f]}" != "$sum" ]; then
      out+=("${f#"$BUILD"/}")
    fi
  done < <(find "$BUILD" -type f \( -perm -u+x -o -name '*.so' -o -name '*.a' \) \
    -not -path '*/CMakeFiles/*' -not -name '*.sh' -not -name '*.py' -print0 | xargs -0 -r sha256sum)
  STALE=${out[*]}
}
trim() {
  local s=$1
  s=${s#"${s%%[![:space:]]*}"}
  printf '%s' "${s%"${s##*[![:space:]]}"}"
}
while IFS= read -r line; do
  # Fields are separated by " | " (a space on each side), so an expression
  # may hold "||" or "|" of its own.
  name=$(trim "${line%% | *}")
  case $name in '' | '#'*) continue ;; esac
  echo "$name" | grep -qE "$FILTER" || continue
  rest=${line#* | }
  file=$(trim "${rest%% | *}")
  rest=${rest#* | }
  regex=$(trim "${rest##* | }")
  expr=$(trim "${rest% | *}")
  target=$SCRATCH/$file
  log=$LOGS/$name.txt
  if [ ! -f "$target" ]; then
    printf '%-40s ERROR   no file %s\n' "$name" "$file"
    broken=$((broken + 1))
    continue
  fi
  # Build what the tests need: every target whose name a test command uses.
  tests=$(cd "$BUILD" && ctest -N -R "$regex" | sed -n 's/^ *Test *#[0-9]*: //p')
  if [ -z "$tests" ]; then
    printf '%-40s ERROR   no test matches %s\n' "$name" "$regex"
    broken=$((broken + 1))
    continue
  fi
  result=
  # A test whose program is a target of the same name needs only that
  # target; a script test needs the programs of the build that its command
  # names (the kiosk, tupsend); a test that names none needs the whole build.
  targets=()
  for t in $tests; do
    if grep -q "^$t:" "$BUILD/Makefile" 2>/dev/null; then
      targets+=(--target "$t")
      continue
    fi
    programs=()
    for word in $(cd "$BUILD" && ctest -N -V -R "^$t\$" | sed -n 's/^.*Test command: //p' | tr -d '"'); do
      case $word in "$BUILD"/*) ;; *) continue ;; esac
      program=$(basename "$word")
      grep -q "^$program:" "$BUILD/Makefile" 2>/dev/null && programs+=(--target "$program")
    done
    if [ ${#programs[@]} -eq 0 ]; then
      targets=()
      break
    fi
    targets+=("${programs[@]}")
  done
  # The unmutated build first: the programs the tests run, as the sources
  # are, and nothing built earlier may still hold a fault.
  if ! cmake --build "$BUILD" -j"$(nproc)" "${targets[@]}" >"$log" 2>&1; then
    printf '%-40s ERROR   the unmutated tree does not build (see %s)\n' "$name" "$log"
    broken=$((broken + 1))
    continue
  fi
  check_built
  if [ -n "$STALE" ]; then
    printf '%-40s ERROR   before it, the build still differs from the sources: %s\n' "$name" "$STALE"
    broken=$((broken + 1))
    continue
  fi
  cp "$target" "$target.orig"
  sed -i -e "$expr" "$target"
  if cmp -s "$target" "$target.orig"; then
    rm "$target.orig"
    printf '%-40s ERROR   the expression changes nothing in %s\n' "$name" "$file"
    broken=$((broken + 1))
    continue
  fi
  if ! cmake --build "$BUILD" -j"$(nproc)" "${targets[@]}" >>"$log" 2>&1; then
    # A mutant that does not compile is caught by the compiler, not by a
    # test: the list should hold faults that build.
    result="ERROR   does not build (see $log)"
    broken=$((broken + 1))
  elif (cd "$BUILD" && ctest -R "$regex" --timeout 300 --output-on-failure) >>"$log" 2>&1; then
    result="MISSED  $(echo "$tests" | tr '\n' ' ')"
    missed=$((missed + 1))
  else
    result="caught  by $(grep -E '^\s+[0-9]+ - ' "$log" | sed 's/^[[:space:]]*[0-9]* - //; s/ (.*//' | tr '\n' ' ')"
    caught=$((caught + 1))
  fi
  # Written anew, not moved back: the file must be newer than the objects
  # built from the mutant, or make would keep them for the next mutant.
  cp "$target.orig" "$target"
  rm "$target.orig"
  cmake --build "$BUILD" -j"$(nproc)" "${targets[@]}" >>"$log" 2>&1 || true
  check_built
  if [ -n "$STALE" ]; then
    case $result in caught*) caught=$((caught - 1)) ;; MISSED*) missed=$((missed - 1)) ;; ERROR*) broken=$((broken - 1)) ;; esac
    result="ERROR   restored, the build still differs from the sources: $STALE"
    broken=$((broken + 1))
  fi
  printf '%-40s %s\n' "$name" "$result"
done <"$LIST"
echo "mutants: $caught caught, $missed missed, $broken not usable"
[ $missed -eq 0 ] && [ $broken -eq 0 ]
