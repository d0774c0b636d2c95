#!/usr/bin/env bash
# Installs, with apt, every prerequisite of the build and the tests that is missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-dev python3 git
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  lzma-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  wine wine64 xvfb xauth x11-utils xdotool imagemagick
  fonts-wqy-microhei 7zip openssl osslsigncode nsis
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# Asks for the password (or fails, without a terminal) once, now, not inside the retries.
[ -z "$sudo" ] || sudo true
# Neither dpkg nor apt's list update waits for a lock another apt holds (a second job on a
# fresh machine, the system's own updates): such a step is tried again, for 5 minutes at
# most. Any other failure ends the script at once.
patiently() {
  local out
  for _ in $(seq 30); do
    if out=$("$@" 2>&1); then
      [ -z "$out" ] || printf '%s\n' "$out"
      return 0
    fi
    printf '%s\n' "$out" >&2
    grep -qiE 'could not get lock|locked by another process' <<<"$out" || return 1
    echo "deps: another apt holds its lock; trying again in 10 s" >&2
    sleep 10
  done
  "$@"
}
# Passed through sudo by name: its default policy resets the environment, and a package's
# question would then wait for an answer nobody gives.
# An earlier install cut short (Ctrl-C) is finished first, or apt refuses to go on: dpkg's
# journal then holds numbered entries.
if compgen -G '/var/lib/dpkg/updates/[0-9]*' >/dev/null; then
  patiently $sudo env DEBIAN_FRONTEND=noninteractive dpkg --configure -a
fi
patiently $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
