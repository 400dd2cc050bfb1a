#!/usr/bin/env bash
# Builds a release: vrmset.exe and cardtag.dll in Release mode from a clean copy of one commit,
# signs both when a certificate is given, checks the PE files and packs
# <out>/vrmset-<version>.zip (the two binaries, README.txt and SHA256SUMS) and
# <out>/SHA256SUMS (the hash of the zip).
#
# Usage: scripts/release.sh [--rev REV | --worktree] [--out DIR] [--work DIR]
#                           [--cert FILE --key FILE] [--timestamp-url URL]
#   --rev REV        commit to build (default HEAD); its files come from git, nothing else
#   --worktree       build the working tree as it stands (tracked and new files, no ignored
#                    ones) instead of a commit; for trying the release before committing
#   --out DIR        where the zip and SHA256SUMS go (default dist)
#   --work DIR       source copy and build tree (default build-release); emptied first
#   --cert FILE      code-signing certificate, PEM or DER, with its chain (or RELEASE_CERT)
#   --key FILE       its private key, PEM or DER (or RELEASE_KEY); a passphrase, if any, in
#                    RELEASE_KEY_PASS
#   --timestamp-url  RFC 3161 time-stamp server (or RELEASE_TIMESTAMP_URL)
# Without a certificate the binaries are left unsigned and the release says so.
#
# Two unsigned releases of one commit are byte-identical wherever and whenever they are built:
# the linker writes no time stamp, symbols are stripped, source and build paths are mapped
# away, and the zip carries fixed dates and modes in a fixed order. A signed release is not:
# the signature (and its time stamp) differ from one signing to the next.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

rev=HEAD
worktree=0
out=$repo/dist
work=$repo/build-release
cert=${RELEASE_CERT:-}
key=${RELEASE_KEY:-}
tsurl=${RELEASE_TIMESTAMP_URL:-}
jobs=${JOBS:-2}

die() { echo "release: $*" >&2; exit 1; }

while [ $# -gt 0 ]; do
  case $1 in
    --rev) rev=${2:?}; shift 2 ;;
    --worktree) worktree=1; shift ;;
    --out) out=${2:?}; shift 2 ;;
    --work) work=${2:?}; shift 2 ;;
    --cert) cert=${2:?}; shift 2 ;;
    --key) key=${2:?}; shift 2 ;;
    --timestamp-url) tsurl=${2:?}; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument $1 (see --help)" ;;
  esac
done

# Refuse a half-given signing setup before spending time on the build: a release meant to be
# signed must never come out unsigned.
if [ -n "$cert" ] || [ -n "$key" ]; then
  [ -n "$cert" ] || die "a key but no certificate given (--cert or RELEASE_CERT)"
  [ -n "$key" ] || die "a certificate but no key given (--key or RELEASE_KEY)"
  [ -r "$cert" ] || die "cannot read the certificate $cert"
  [ -r "$key" ] || die "cannot read the key $key"
  command -v osslsigncode >/dev/null || die "osslsigncode is not installed (scripts/setup.sh)"
  cert=$(realpath "$cert")
  key=$(realpath "$key")
elif [ -n "$tsurl" ]; then
  die "a time-stamp server but no certificate given"
fi

mkdir -p "$work" "$out"
work=$(realpath "$work")
out=$(realpath "$out")
# The work folder is emptied below; only ever one that this script made, or a new one.
if [ -n "$(ls -A "$work")" ] && [ ! -f "$work/.release-work" ]; then
  die "$work is not empty and was not made by this script"
fi
find "$work" -mindepth 1 -delete
touch "$work/.release-work"
src=$work/src
build=$work/build
mkdir -p "$src"

# A clean copy of the sources: exactly the commit's files (or the working tree's), no build
# trees, no stray files.
cd "$repo"
if [ "$worktree" = 1 ]; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$src"
  what="working tree of $(git rev-parse --short HEAD)"
else
  commit=$(git rev-parse --verify "$rev^{commit}") || die "no commit $rev"
  git archive --format=tar "$commit" | tar -xf - -C "$src"
  what="commit ${commit:0:12}"
  if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release: note: the working tree has changes that are not in this release"
  fi
fi

# The versions of the two version resources, set once in the top-level CMakeLists.txt.
version_of() {
  local v
  v=$(sed -nE "s/^[[:space:]]*set\\($1[[:space:]]+([0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+)\\)[[:space:]]*$/\\1/p" \
      "$src/CMakeLists.txt")
  [ "$(wc -l <<<"$v")" = 1 ] && [ -n "$v" ] || die "no single set($1 a.b.c.d) in CMakeLists.txt"
  echo "$v"
}
vrmset_version=$(version_of VRMSET_VERSION)
cardtag_version=$(version_of CARDTAG_VERSION)
name=vrmset-$vrmset_version
echo "release: $name (cardtag.dll $cardtag_version) from the $what"

# Release mode; the two product targets only. Paths of the sources and of the build tree are
# mapped to fixed names so that nothing of this folder ends up in the binaries.
maps="-ffile-prefix-map=$src=. -ffile-prefix-map=$build=build"
cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$maps" -DCMAKE_CXX_FLAGS="$maps" \
  -DCMAKE_EXE_LINKER_FLAGS=-s -DCMAKE_SHARED_LINKER_FLAGS=-s >"$work/configure.log" ||
  { cat "$work/configure.log" >&2; die "configuring failed"; }
cmake --build "$build" -j"$jobs" --target vrmset cardtag >"$work/build.log" 2>&1 ||
  { tail -50 "$work/build.log" >&2; die "building failed; see $work/build.log"; }

stage=$work/stage
mkdir -p "$stage"
if [ -n "$cert" ]; then
  for f in updater/vrmset.exe cardtag/cardtag.dll; do
    base=$(basename "$f")
    args=(sign -h sha256 -certs "$cert" -key "$key" -n "${base%.*}")
    if [ -n "${RELEASE_KEY_PASS:-}" ]; then
      (umask 077 && printf '%s' "$RELEASE_KEY_PASS" >"$work/pass")
      args+=(-readpass "$work/pass")
    fi
    if [ -n "$tsurl" ]; then args+=(-ts "$tsurl"); fi
    osslsigncode "${args[@]}" -in "$build/$f" -out "$stage/$base" >"$work/sign.log" 2>&1 ||
      { rm -f "$work/pass"; cat "$work/sign.log" >&2; die "signing $base failed"; }
    rm -f "$work/pass"
  done
  signed=signed
  echo "release: signed with $(basename "$cert")${tsurl:+, time-stamped by $tsurl}"
else
  cp "$build/updater/vrmset.exe" "$build/cardtag/cardtag.dll" "$stage/"
  signed=unsigned
  echo "release: no certificate given (--cert/RELEASE_CERT): the binaries are NOT signed"
fi

# The zip and the hashes are made from the final (signed) files.
python3 "$src/packaging/package.py" --stage "$stage" --out "$out" --name "$name" \
  --vrmset-version "$vrmset_version" --cardtag-version "$cardtag_version" --"$signed" \
  --readme "$src/packaging/README.txt" --pe-checks "$src/tests/pe/check_pe.py"
echo "release: $out/$name.zip ($signed)"
