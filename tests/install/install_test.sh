#!/usr/bin/env bash
# install BUILD SRC: installs into a scratch DESTDIR, checks the file list, renders the
#   installed bundled patch (WAV on standard output) against its golden hash, asks
#   both installed programs for --help/--version, lints and renders the manual pages.
# package BUILD SRC: builds the Debian package and reads it back.
set -euo pipefail
export LC_ALL=C
mode=$1 build=$(cd "$2" && pwd) src=$(cd "$3" && pwd)
tmp=$(mktemp -d /tmp/tev-install.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
share=share/tev-modular-synth/patches
expected="bin/tev-render bin/tev-synth share/doc/tev-modular-synth/README.md
share/doc/tev-modular-synth/changelog.gz share/doc/tev-modular-synth/copyright
share/man/man1/tev-render.1.gz share/man/man1/tev-synth.1.gz share/man/man5/tev-patch.5.gz
$share/SYNTH_2.TSY $share/fond.bmp $share/hat.wav $share/kick.wav $share/modulation.TSY
$share/sampler.TSY $share/sequencer.TSY $share/song.mid"

if [ "$mode" = package ]; then
  (cd "$build" && cpack -G DEB -B "$tmp" >"$tmp/log") || { cat "$tmp/log"; fail "cpack"; }
  deb=$(ls "$tmp"/tev-modular-synth_*_*.deb)
  got=$(dpkg-deb -c "$deb" | awk '!/\/$/ { sub("^./usr/", "", $6); print $6 }' | sort | xargs)
  [ "$got" = "$(echo $expected)" ] || fail "package files: $got"
  dpkg-deb -I "$deb" >"$tmp/info"
  grep -Eq '^ Depends: .*libsndfile1' "$tmp/info" || fail "no Depends: $(cat "$tmp/info")"
  grep -q '^ Section: sound$' "$tmp/info" || fail "section"
  exit 0
fi

DESTDIR="$tmp/root" cmake --install "$build" --prefix /opt/tev >/dev/null
root=$tmp/root/opt/tev
[ "$(cd "$root" && find . -type f | sed 's|^\./||' | sort | xargs)" = "$(echo $expected)" ] ||
  fail "installed files: $(cd "$root" && find . -type f | sort | xargs)"

# The golden render of the bundled patch (64-bit FNV-1a over the samples' bytes).
args=$(grep -v '^#' "$src/tests/cases/bundled/SYNTH_2.keys" | sed '$d')
want=$(awk '$1 == "total" { print $2 }' "$src/tests/cases/bundled/SYNTH_2.ref")
# shellcheck disable=SC2086
# Without --quiet: the trace goes to standard error, standard output is the WAV alone.
(cd "$root/$share" && "$root/bin/tev-render" $args SYNTH_2.TSY - >"$tmp/out.wav" 2>"$tmp/err") ||
  fail "render: $(cat "$tmp/err")"
grep -q '^Wrote -: 66150 frames' "$tmp/err" || fail "trace: $(head -3 "$tmp/err")"
got=$(python3 -c '
import sys, wave
h = 0xcbf29ce484222325
for b in wave.open(sys.argv[1]).readframes(1 << 30):
    h = ((h ^ b) * 0x100000001b3) & 0xffffffffffffffff
print("%016x" % h)' "$tmp/out.wav") || fail "standard output is not one WAV"
[ "$got" = "$want" ] || fail "installed render hash $got, golden $want"
[ "$(stat -c %s "$tmp/out.wav")" = $((44 + 66150 * 4)) ] || fail "bytes after the WAV"

for p in tev-synth tev-render; do
  for opt in --help -h --version; do
    out=$(env -u DISPLAY "$root/bin/$p" $opt </dev/null) || fail "$p $opt: status $?"
    if [ $opt = --version ]; then [[ $out =~ ^$p\ [0-9]+\.[0-9]+\.[0-9]+$ ]]
    else [[ $out == Usage:*"man $p"* ]]; fi || fail "$p $opt printed: $out"
  done
done

for page in "$build"/man/*.[15]; do
  lint=$(mandoc -T lint -W warning "$page" 2>&1 || true)
  [ -z "$lint" ] || fail "mandoc: $lint"
  [ -z "$(MANWIDTH=80 man -l "$page" 2>&1 >/dev/null)" ] || fail "man -l $page"
done
