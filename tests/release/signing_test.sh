#!/usr/bin/env bash
# Signing with scripts/sign.sh gives a signature that verifies against its own CA and no
# other, and that breaks when one bit of the signed program changes: in the payload it
# carries, its code or its constant data. Signing that cannot be done (no certificate, a
# wrong password, an unreachable time-stamp server) fails and leaves the file as it was.
# Everything happens in a scratch folder with a throwaway CA.
#   signing_test.sh SETUP_EXE PACKET SIGN_SH
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 SETUP_EXE PACKET SIGN_SH" >&2; exit 2; }
setup_exe=$(realpath "$1") packet=$(realpath "$2") sign=$(realpath "$3")
command -v osslsigncode >/dev/null || { echo "FAIL: osslsigncode is missing (scripts/deps.sh installs it)"; exit 1; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelo-signing-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
# openssl may keep a random seed file in the home folder; give it this one.
export HOME=$scratch/home
mkdir -p "$HOME"
unset KELO_SIGN_PKCS12 KELO_SIGN_PASSWORD_FILE KELO_SIGN_TIMESTAMP_URL
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A CA and a code-signing certificate it issued, packed with its key as the build takes it.
make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
make_ca ca "Kelo Test CA"
make_ca other_ca "Kelo Other CA"
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Kelo Test Signer" 2>/dev/null
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile signer.ext \
  -out signer.pem 2>/dev/null
# The password is the first line; what follows is the keeper's note.
printf 'test password 1\nexpires 2027\n' >password
echo 'not the password' >wrong_password
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password -out signer.p12

verifies() { osslsigncode verify -CAfile "$2" -in "$1" >"$1.verify.log" 2>&1; }

cp "$setup_exe" unsigned.exe
chmod u+w unsigned.exe
# A signature made elsewhere (a build that signs) is not ours: start from none.
if osslsigncode extract-signature -in unsigned.exe -out found.sig >/dev/null 2>&1; then
  osslsigncode remove-signature -in "$setup_exe" -out stripped.exe >/dev/null
  mv -f stripped.exe unsigned.exe
fi
if verifies unsigned.exe ca.pem; then fail "an unsigned program verifies"; fi

# Signing refuses, and leaves the file alone, without a certificate, with a wrong password or
# without the time stamp it was asked for.
cp unsigned.exe refused.exe
if "$sign" refused.exe 2>/dev/null; then fail "sign.sh succeeded without a certificate"; fi
if "$sign" refused.exe signer.p12 wrong_password 2>/dev/null; then fail "sign.sh succeeded with a wrong password"; fi
# A time stamp that cannot be had fails the signing rather than leaving it out: the server
# is a port bound on 127.0.0.1 that never listens, so the connection is refused at once. It
# is the signing that fails, not the call (a switch it no longer knows would fail too).
code=0
python3 - "$sign" refused.exe signer.p12 password <<'PY' 2>timestamp.err || code=$?
import socket, subprocess, sys
held = socket.socket()
held.bind(('127.0.0.1', 0))
url = 'http://127.0.0.1:%d/' % held.getsockname()[1]
sys.exit(subprocess.call([sys.argv[1], '--timestamp', url] + sys.argv[2:], stdout=subprocess.DEVNULL))
PY
[ "$code" -eq 1 ] && grep -q '^sign.sh: signing refused.exe failed$' timestamp.err ||
  fail "sign.sh did not refuse for want of the time stamp (exit $code): $(tail -n 3 timestamp.err)"
cmp -s refused.exe unsigned.exe || fail "a refused signing changed the file"
[ -z "$(find . -maxdepth 1 -name '.signing.*')" ] || fail "a refused signing left its scratch folder"

# Signed, through the environment as the build passes it, and then once more by arguments:
# the second signature replaces the first.
cp unsigned.exe signed.exe
chmod 755 signed.exe
KELO_SIGN_PKCS12=signer.p12 KELO_SIGN_PASSWORD_FILE=password "$sign" signed.exe >/dev/null ||
  fail "sign.sh failed on a copy of $setup_exe"
"$sign" signed.exe signer.p12 password >/dev/null || fail "sign.sh failed on a signed file"
[ "$(stat -c %a signed.exe)" = 755 ] || fail "signing changed the file's mode"
if cmp -s signed.exe unsigned.exe; then fail "signing left the file as it was"; fi
if verifies signed.exe ca.pem; then
  grep -q "Subject: /CN=Kelo Test Signer" signed.exe.verify.log || fail "the signature does not name the signer"
  grep -q "Number of verified signatures: 1" signed.exe.verify.log || fail "the signed file does not carry exactly one signature"
else
  cat signed.exe.verify.log
  fail "the signed program does not verify against its CA"
fi
if verifies signed.exe other_ca.pem; then fail "the signed program verifies against a CA that did not issue its certificate"; fi

# Flips one bit of a copy of the signed program at the middle of the given region; prints
# the offset.
flip() {
  python3 - "$1" "$2" "$packet" <<'PY'
import struct, sys
path, region, packet_path = sys.argv[1:4]
data = bytearray(open(path, 'rb').read())
if region == 'payload':
    packet = open(packet_path, 'rb').read()
    start = data.find(packet)
    if start < 0 or data.find(packet, start + 1) >= 0:
        sys.exit('the program does not carry the packet exactly once')
    at = start + len(packet) // 2
else:
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    count, = struct.unpack_from('<H', data, pe + 6)
    table = pe + 24 + struct.unpack_from('<H', data, pe + 20)[0]
    sections = [struct.unpack_from('<8sIIII', data, table + 40 * i) for i in range(count)]
    raw, size = next((s[4], s[3]) for s in sections if s[0].rstrip(b'\0') == b'.' + region.encode())
    at = raw + size // 2
data[at] ^= 0x01
open(path, 'wb').write(data)
print(at)
PY
}
for region in payload text rdata; do
  cp signed.exe "tampered_$region.exe"
  at=$(flip "tampered_$region.exe" "$region") || { fail "cannot find the $region region"; continue; }
  if verifies "tampered_$region.exe" ca.pem; then
    fail "a program with one bit flipped in its $region (offset $at) still verifies"
  fi
done

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "signing: signed, verified against its CA only, and refused after a flipped bit in its payload, code or constant data"
