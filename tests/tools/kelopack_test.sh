#!/usr/bin/env bash
# The packer's command line: a plain folder packs and verifies; a folder it would pack
# wrongly (links, names the installer refuses or Windows merges) is refused, with no packet.
#   kelopack_test.sh KELOPACK
set -euo pipefail
kelopack=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

plain=$work/plain
mkdir -p "$plain/Lib"
echo browser >"$plain/KeloBrowser.exe"
echo library >"$plain/Lib/b.dll"
"$kelopack" pack "$plain" "$work/plain.packet" >/dev/null
"$kelopack" verify "$work/plain.packet" >/dev/null
# The names the installer needs, in any letter case; one missing fails the check.
"$kelopack" verify "$work/plain.packet" kelobrowser.EXE Missing.dll 2>"$work/verify.err" >/dev/null &&
  { echo "FAIL verify: a name no record has passed"; exit 1; }
grep -q "no record Missing.dll" "$work/verify.err" || { echo "FAIL verify: $(cat "$work/verify.err")"; exit 1; }
"$kelopack" verify "$work/plain.packet" kelobrowser.EXE 'lib\B.DLL' >/dev/null
"$kelopack" verify "$work/plain.packet" KeloBrowser.exe KeloUninstall.exe 2>"$work/verify.err" >/dev/null &&
  { echo "FAIL verify: a missing uninstaller passed"; exit 1; }
grep -q "no record KeloUninstall.exe" "$work/verify.err" || { echo "FAIL verify: $(cat "$work/verify.err")"; exit 1; }
echo "ok verify names"

# PACKET.reach: the longest name's bytes and the longest folder's, 16-bit little-endian.
reach_is() {
  local got
  got=$(od -An -tu2 --endian=little "$1.reach" | xargs)
  [ "$got" = "$2" ] || { echo "FAIL reach of $1: '$got', not '$2'"; exit 1; }
}
reach_is "$work/plain.packet" "15 3"

# A copy of the plain folder with one change, which pack must refuse saying `reason`.
refused() {
  local name=$1 reason=$2 change=$3
  shift 3  # and any switches of pack
  cp -r "$plain" "$work/$name"
  (cd "$work/$name" && eval "$change")
  if "$kelopack" pack "$@" "$work/$name" "$work/$name.packet" 2>"$work/$name.err" >/dev/null; then
    echo "FAIL $name: packed"
    return 1
  fi
  grep -q "$reason" "$work/$name.err" || { echo "FAIL $name: $(cat "$work/$name.err")"; return 1; }
  [ ! -e "$work/$name.packet" ] || { echo "FAIL $name: a packet was written"; return 1; }
  echo "ok $name"
}
refused link-to-file "symbolic link" 'ln -s KeloBrowser.exe Other.exe'
refused link-to-folder "symbolic link" 'ln -s Lib Lib2'
refused letter-case "letter case" 'mkdir lib && echo other >lib/B.DLL'
refused file-and-folder "same name" 'echo file >LIB'
refused reserved "keeps for itself" 'echo ledger >KeloSetup.ledger'
refused old-packet "deletes as it ends" 'echo x >keloBrowserInstallPacket.LZMA'
refused device "device name" 'echo device >Lib/nul.txt'
refused empty-folder "empty folder" 'mkdir -p Cache/Sub'
refused backslash "backslash in a name" 'echo x >"Lib\\b.txt"'
refused cp-backslash "backslash in a name" 'echo x >"Lib\\b.txt"' --allow-ansi=cp1251
refused ansi-backslash "backslash in a name" 'echo x >"Lib\\b.txt"' --allow-ansi
# Its output in the folder it packs: a second run would take in the first one's.
cp -r "$plain" "$work/inside"
for out in "$work/inside/Lib/out.packet" "$work/plain/../inside/new/../out.packet"; do
  if "$kelopack" pack "$work/inside" "$out" 2>"$work/inside.err" >/dev/null; then echo "FAIL inside: packed $out"; exit 1; fi
  grep -q "output inside the folder" "$work/inside.err" || { echo "FAIL inside: $(cat "$work/inside.err")"; exit 1; }
done
[ -z "$(find "$work/inside" -name 'out.packet*')" ] || { echo "FAIL inside: a packet was written"; exit 1; }
(cd "$work/inside" && "$kelopack" pack . fresh.packet 2>"$work/inside.err" >/dev/null) &&
  { echo "FAIL inside: packed into ./fresh.packet"; exit 1; }
grep -q "output inside the folder" "$work/inside.err" || { echo "FAIL inside: $(cat "$work/inside.err")"; exit 1; }
"$kelopack" pack "$work/inside/Lib" "$work/inside/out.packet" >/dev/null || { echo "FAIL beside: refused"; exit 1; }
echo "ok inside"
# Set aside below even a drive's root ("C:\KeloSetup.kept\<name>.99"), a name may have 238 bytes.
long=$(printf 'n%.0s' $(seq 236))
refused too-long "longer than 238" "mkdir -p A && echo x >A/${long}n"
cp -r "$plain" "$work/longest" && mkdir "$work/longest/A" && echo x >"$work/longest/A/$long"
"$kelopack" pack "$work/longest" "$work/longest.packet" >/dev/null || { echo "FAIL longest: refused"; exit 1; }
reach_is "$work/longest.packet" "238 3"
echo "ok longest"
# Nor can a folder of 227 bytes be set aside there: "C:\KeloSetup.kept\", it and ".99" have 248 characters.
folder=$(printf 'f%.0s' $(seq 226))
refused deep-folder "folder longer than 226" "mkdir ${folder}g && echo x >${folder}g/a"
cp -r "$plain" "$work/deepest" && mkdir "$work/deepest/$folder" && echo x >"$work/deepest/$folder/a"
"$kelopack" pack "$work/deepest" "$work/deepest.packet" >/dev/null || { echo "FAIL deepest: refused"; exit 1; }
reach_is "$work/deepest.packet" "228 226"
echo "ok deepest"

# --allow-ansi takes names already in an ANSI code page; one that reads as UTF-8 (which the
# installer would read as other characters) is packed with a warning.
refused non-ascii "non-ASCII name" 'echo x >"$(printf "caf\351.txt")"'
for case in 'caf\351.txt 0' '\350\256\276.ini 1'; do
  name=${case% *} warnings=${case#* }
  rm -rf "$work/ansi" && cp -r "$plain" "$work/ansi" && echo x >"$work/ansi/$(printf "$name")"
  "$kelopack" pack --allow-ansi "$work/ansi" "$work/ansi.packet" 2>"$work/ansi.err" >/dev/null ||
    { echo "FAIL ansi $name: refused"; exit 1; }
  [ "$(grep -c "reads as UTF-8" "$work/ansi.err" || true)" = "$warnings" ] ||
    { echo "FAIL ansi $name: $(cat "$work/ansi.err")"; exit 1; }
done
echo "ok ansi"
# --allow-ansi=CP reads names as Windows does in code page CP. Refused: bytes that are no
# text there; a double-byte character whose second byte the installer, reading bytes, would
# take for "\\" or a letter (cp932 表 is 95 5C, ア is 83 41); two names Windows takes for one.
refused cp-unknown "no Windows code page" ':' --allow-ansi=no-such-page
refused cp-not-windows "no Windows code page" ':' --allow-ansi=SHIFT_JIS  # reads 5C as a yen sign
refused cp-no-text "no text in the code page" 'echo x >"$(printf "\201.txt")"' --allow-ansi=cp932
refused cp-separator "second byte reads as an ASCII" 'echo x >"$(printf "\225\134.txt")"' --allow-ansi=cp932
refused cp-letter "second byte reads as an ASCII" 'echo x >"$(printf "\203A.txt")"' --allow-ansi=cp932
refused cp-case "differ only in letter case" \
  'echo x >"$(printf "\324\340\351\353.txt")"; echo y >"$(printf "\364\340\351\353.txt")"' --allow-ansi=cp1251
refused cp-folder-case "same name" \
  'mkdir "$(printf "\324")" && echo x >"$(printf "\324/a")"; echo y >"$(printf "\364")"' --allow-ansi=cp1251
for case in 'cp936 \311\350\326\303.ini' 'cp1251 \324\340\351\353.txt' 'cp932 \225\134.txt'; do
  page=${case% *} name=${case#* }
  rm -rf "$work/cp" && cp -r "$plain" "$work/cp" && echo x >"$work/cp/$(printf "$name")"
  switch=--allow-ansi=$page
  [ "$page" = cp932 ] && switch=--allow-ansi  # unchecked: packed, with a warning that says so
  "$kelopack" pack "$switch" "$work/cp" "$work/cp.packet" 2>"$work/cp.err" >/dev/null ||
    { echo "FAIL cp $case: $(cat "$work/cp.err")"; exit 1; }
  [ "$(grep -c "not checked against a code page" "$work/cp.err" || true)" = "$([ "$switch" = --allow-ansi ] && echo 1 || echo 0)" ] ||
    { echo "FAIL cp $case: $(cat "$work/cp.err")"; exit 1; }
done
echo "ok code page"
