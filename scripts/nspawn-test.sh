#!/usr/bin/env bash
# The Debian package under a booted systemd, as an operator meets it: a
# Debian 12 root is booted with systemd-nspawn -b, the package is installed,
# and the service is started, reloaded, upgraded (reinstalled) and stopped
# there. Checked: the start returns only once the intake listens, the
# journal gets each line at its priority with its fields, a reinstallation
# restarts the running service on the new program, the stop is clean, and
# the hardened unit lets the service do all of it.
#
#   scripts/nspawn-test.sh [build/velora-rbs_*.deb]
#
# The root is made once with debootstrap (from the Debian mirror) and kept
# under $VELORA_NSPAWN_CACHE (default /var/cache/velora-rbs-nspawn), with
# the package's dependencies installed; every boot runs on a throwaway
# overlay of it. Needs root. Where this machine cannot boot a container the
# script says so and exits 0, unless it booted one here before (the marker
# file in the cache): then that is a fault, and it exits 1.
set -euo pipefail
root_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deb="${1:-}"
if [ -z "$deb" ]; then
  deb="$(ls -1 "$root_dir"/build/velora-rbs_*.deb 2>/dev/null | tail -n 1 || true)"
fi
[ -f "$deb" ] || { echo "nspawn-test: no package; run scripts/package.sh first" >&2; exit 1; }
cache="${VELORA_NSPAWN_CACHE:-/var/cache/velora-rbs-nspawn}"
image="$cache/bookworm"
marker="$cache/booted-here"
mirror="${VELORA_DEBIAN_MIRROR:-http://deb.debian.org/debian}"

cannot_boot() {
  if [ -e "$marker" ]; then
    echo "nspawn-test: FAIL: $1, although a container booted on this machine before ($marker)" >&2
    exit 1
  fi
  echo "nspawn-test: cannot boot a container here ($1); the booted-systemd test is not run" >&2
  exit 0
}

[ "$(id -u)" -eq 0 ] || cannot_boot "not root"
command -v systemd-nspawn >/dev/null || cannot_boot "systemd-nspawn is missing (package systemd-container)"
command -v debootstrap >/dev/null || cannot_boot "debootstrap is missing (package debootstrap)"

# No service manager of the host is asked for anything: the container is
# neither registered with machined nor given a scope of its own.
nspawn=(systemd-nspawn --quiet --register=no --keep-unit --directory="$image")

started=$(date +%s)
# The package's dependencies are installed once per list of them: each boot
# then installs the package itself without the network. A changed list gets
# a new root, so that it holds what the package needs and no more (the test
# checks what the package does not need).
depends="$(dpkg-deb -f "$deb" Depends)"
stamp="$image/var/lib/velora-rbs-test-depends"
if [ -d "$image" ] && [ "$(cat "$stamp" 2>/dev/null)" != "$depends" ]; then
  rm -rf "$image"
fi
if [ ! -d "$image" ]; then
  echo "nspawn-test: making the Debian 12 root in $image"
  mkdir -p "$cache"
  rm -rf "$image.partial"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus \
    bookworm "$image.partial" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    cannot_boot "debootstrap failed (see $cache/debootstrap.log)"
  # curl asks the status endpoint.
  systemd-nspawn --quiet --register=no --keep-unit --directory="$image.partial" --pipe \
    -E DEBIAN_FRONTEND=noninteractive sh -c \
    "apt-get update -q && apt-get satisfy -y -q --no-install-recommends '$depends, curl' && apt-get clean" \
    >"$cache/depends.log" 2>&1 || cannot_boot "the dependencies could not be installed (see $cache/depends.log)"
  printf '%s' "$depends" >"$image.partial/var/lib/velora-rbs-test-depends"
  mv "$image.partial" "$image"
fi
prepared=$(date +%s)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/test" "$work/result" "$work/units/multi-user.target.wants"
cp "$deb" "$work/test/velora-rbs.deb"
cp "$root_dir/scripts/nspawn-inside.sh" "$work/test/inside.sh"
chmod +x "$work/test/inside.sh"
cat >"$work/units/velora-boot-test.service" <<'UNIT'
[Unit]
Description=VeloraRBS package test
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/velora-test/inside.sh /velora-result
ExecStopPost=/usr/bin/systemctl poweroff --no-block
StandardOutput=journal+console
StandardError=journal+console
UNIT
ln -s ../velora-boot-test.service "$work/units/multi-user.target.wants/velora-boot-test.service"

echo "nspawn-test: booting"
set +e
# A private network: the container's loopback ports are its own.
timeout 600 "${nspawn[@]}" --boot --volatile=overlay --private-network \
  --bind-ro="$work/test:/velora-test" --bind="$work/result:/velora-result" \
  --bind-ro="$work/units:/usr/local/lib/systemd/system" >"$work/console.log" 2>&1
rc=$?
set -e
finished=$(date +%s)
if [ ! -f "$work/result/log" ]; then
  tail -n 30 "$work/console.log" >&2
  cannot_boot "the container did not come up to run the test (systemd-nspawn exit code $rc)"
fi
touch "$marker"
cat "$work/result/log"
echo "nspawn-test: root ready in $((prepared - started)) s, boot and test in $((finished - prepared)) s"
if [ "$(cat "$work/result/status" 2>/dev/null)" != pass ]; then
  echo "nspawn-test: FAIL" >&2
  exit 1
fi
echo "nspawn-test: PASS"
