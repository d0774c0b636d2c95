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
# Neither dpkg nor apt's list update waits for a lock another apt holds (a second job on a
# fresh machine, the system's own updates): each step is tried again, for 5 minutes at most.
patiently() {
  for _ in $(seq 30); do
    "$@" && return 0
    echo "deps: failed; trying again in 10 s (another apt at work?)" >&2
    sleep 10
  done
  "$@"
}
# Passed through sudo by name: its default policy resets the environment, and a package's
# question would then wait for an answer nobody gives.
# An earlier install cut short (Ctrl-C) is finished first, or apt refuses to go on: dpkg's
# journal then holds numbered entries.
if ls /var/lib/dpkg/updates 2>/dev/null | grep -q '^[0-9]\+$'; then
  patiently $sudo env DEBIAN_FRONTEND=noninteractive dpkg --configure -a
fi
patiently $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
