#!/usr/bin/env bash
# install|package BUILD SRC: a DESTDIR install (files, the installed renderer against the
# golden render, --help/--version, manual pages), or the Debian package read back.
set -euo pipefail
export LC_ALL=C
mode=$1 build=$(cd "$2" && pwd) src=$(cd "$3" && pwd) tmp=$(mktemp -d /tmp/tev-install.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
want_files=$(xargs <"$src/tests/install/files.txt")
if [ "$mode" = package ]; then
  (cd "$build" && cpack -G DEB -B "$tmp" >"$tmp/log") || fail "cpack: $(cat "$tmp/log")"
  got=$(dpkg-deb -c "$tmp"/tev-modular-synth_*_*.deb | awk '!/\/$/ { sub("^./usr/", "", $6); print $6 }' | sort | xargs)
  [ "$got" = "$want_files" ] || fail "package files: $got"
  info=$(dpkg-deb -I "$tmp"/tev-modular-synth_*_*.deb)
  [[ $info == *" Depends: "*libsndfile1*" Section: sound"* ]] || fail "control: $info"
  exit 0
fi
DESTDIR="$tmp/root" cmake --install "$build" --prefix /opt/tev >/dev/null
root=$tmp/root/opt/tev
got=$(cd "$root" && find . -type f | sed 's|^\./||' | sort | xargs)
[ "$got" = "$want_files" ] || fail "installed files: $got"

# Run where the samples are, the WAV on standard output, the trace on standard error.
args=$(grep -v '^#' "$src/tests/cases/bundled/SYNTH_2.keys" | sed '$d')
(cd "$root/share/tev-modular-synth/patches" && "$root/bin/tev-render" $args SYNTH_2.TSY - \
  >"$tmp/out.wav" 2>"$tmp/err") || fail "render: $(cat "$tmp/err")"
grep -q '^Wrote -: 66150 frames' "$tmp/err" || fail "trace: $(head -3 "$tmp/err")"
got=$(python3 -c 'import sys, wave, functools; print("%016x" % functools.reduce(lambda h, b:
  ((h ^ b) * 0x100000001b3) % 2**64, wave.open(sys.argv[1]).readframes(1 << 30), 0xcbf29ce484222325))' "$tmp/out.wav")
grep -q "^total $got$" "$src/tests/cases/bundled/SYNTH_2.ref" || fail "installed render's hash $got"

for p in tev-synth tev-render; do
  for opt in --help -h --version; do
    out=$(env -u DISPLAY "$root/bin/$p" $opt </dev/null) || fail "$p $opt: status $?"
    [[ $opt == --version && $out =~ ^$p\ [0-9]+\.[0-9]+\.[0-9]+$ ||
       $opt != --version && $out == Usage:*"man $p"* ]] || fail "$p $opt printed: $out"
  done
done
for page in "$build"/man/*.[15]; do
  [ -z "$(mandoc -T lint -W warning "$page" 2>&1)" ] || fail "$(mandoc -T lint -W warning "$page" 2>&1)"
  [ -z "$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)" ] || fail "man -l $page"
done
