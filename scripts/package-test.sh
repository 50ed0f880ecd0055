#!/usr/bin/env bash
# Builds the Debian packages, installs z39client with apt, and runs the installed client
# in launch-query mode as an ordinary user (settings in ~/.config/z39client) against a
# catalogue-server on loopback. Needs root and a build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
(cd build && cpack >/dev/null)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall ./build/z39client_*_amd64.deb >/dev/null
test -x /opt/z39client/bin/z39client && test -x /opt/z39client/bin/yazc && test -x /opt/z39client/bin/z39batch
# The menu entry names the installed program and icon, under the package's prefix.
desktop=/opt/z39client/share/applications/z39client.desktop
grep -q 'exec "/opt/z39client/bin/z39client"' "$desktop"
test -f "$(sed -n 's/^Icon=//p' "$desktop")"
! dpkg -L z39client | grep -q '^/usr/share/applications'

user=z39tester
id "$user" >/dev/null 2>&1 || useradd -m "$user"
home=$(getent passwd "$user" | cut -d: -f6)
work=$(mktemp -d)
chmod 755 "$work"
./build/bin/catalogue-server demo --db "$work/c.db" --records 200 >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
while ! python3 -c "import socket,sys; s=socket.socket(); s.bind(('127.0.0.1',$port+1))" 2>/dev/null; do
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
done
./build/bin/catalogue-server serve --db "$work/c.db" --port "$port" >"$work/server.out" 2>"$work/server.log" &
server=$!
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do grep -q listening "$work/server.out" && break; sleep 0.1; done

runuser -u "$user" -- mkdir -p "$home/.config/z39client" "$home/tmp"
printf '[\xcf\xb5\xcd\xb3\xb2\xce\xca\xfd]\r\nKSIP=127.0.0.1\r\nKSPORT=%s\r\nKSDEFAULT=1\r\n' "$port" \
    | runuser -u "$user" -- tee "$home/.config/z39client/Z39.ini" >/dev/null
rm -f "$home/tmp/lib.tmp"
(cd "$home" && runuser -u "$user" -- env HOME="$home" TMPDIR="$home/tmp" QT_QPA_PLATFORM=offscreen \
    timeout 60 /opt/z39client/bin/z39client "ISBN@9787536692930")
if ! grep -q "9787536692930\|978-7-5366-9293-0" "$home/tmp/lib.tmp"; then
    echo "installed z39client handed back no record" >&2
    exit 1
fi
echo "installed z39client: record handed back in lib.tmp"
