#!/usr/bin/env bash
# Signs a Windows program in place (Authenticode, SHA-256) with osslsigncode.
#
#   scripts/sign.sh [--timestamp URL] FILE [PKCS12 PASSWORD_FILE]
#
#   PKCS12         certificate and private key       (or KELO_SIGN_PKCS12)
#   PASSWORD_FILE  its password, on the first line    (or KELO_SIGN_PASSWORD_FILE); a file
#                  rather than an argument, so that the password never shows in a process list
#   --timestamp URL  have an RFC 3161 time-stamp server counter-sign (or
#                  KELO_SIGN_TIMESTAMP_URL). Off by default: it needs the network and that
#                  server. Without it the signature is only valid while the certificate is.
#
# The file is replaced only when signing succeeded. A file that is already signed gets the
# new signature instead of the old one (osslsigncode replaces it).
set -euo pipefail
timestamp_url=${KELO_SIGN_TIMESTAMP_URL:-}
if [ "${1:-}" = --timestamp ]; then
  [ $# -ge 2 ] || { echo "sign.sh: --timestamp needs a URL" >&2; exit 2; }
  timestamp_url=$2
  shift 2
fi
if [ $# -ne 1 ] && [ $# -ne 3 ]; then
  echo "usage: $0 [--timestamp URL] FILE [PKCS12 PASSWORD_FILE]" >&2
  exit 2
fi
file=$1
pkcs12=${2:-${KELO_SIGN_PKCS12:-}}
password_file=${3:-${KELO_SIGN_PASSWORD_FILE:-}}
tool=${KELO_OSSLSIGNCODE:-osslsigncode}

fail() { echo "sign.sh: $*" >&2; exit 1; }
[ -f "$file" ] || fail "no file to sign at '$file'"
[ -n "$pkcs12" ] || fail "no certificate: give PKCS12 or set KELO_SIGN_PKCS12"
[ -f "$pkcs12" ] || fail "no certificate at '$pkcs12'"
[ -n "$password_file" ] || fail "no password file: give PASSWORD_FILE or set KELO_SIGN_PASSWORD_FILE"
[ -f "$password_file" ] || fail "no password file at '$password_file'"
command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install osslsigncode)"

# Made beside the file, so that the signed copy moves over it in one step and a failure
# leaves the file as it was.
work=$(mktemp -d "$(dirname "$file")/.signing.XXXXXX")
trap 'rm -rf "$work"' EXIT

# No program name (-n): the signature stores it as ASCII, and the product's is Chinese; the
# system shows the file's own description instead.
args=(sign -pkcs12 "$pkcs12" -h sha256)
[ -z "$timestamp_url" ] || args+=(-ts "$timestamp_url")
signed=$work/signed
# osslsigncode reads the whole file as the password: only its first line is, as for openssl.
# Handed over through a pipe, so that no copy of it lands on a disk.
if ! log=$("$tool" "${args[@]}" -readpass <(head -n 1 "$password_file" | tr -d '\n') -in "$file" -out "$signed" 2>&1); then
  echo "$log" >&2
  fail "signing $file failed"
fi
chmod --reference="$file" "$signed"
mv -f "$signed" "$file"
echo "Signed $file${timestamp_url:+ (time-stamped by $timestamp_url)}"
