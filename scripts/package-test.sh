#!/usr/bin/env bash
# Builds the Debian packages and checks them as an administrator would meet them: lintian,
# the unit file, both packages installed with apt, the service user, its folders, the
# conffile and the manuals; the unit's own command lines run as the service user with the
# settings file's environment (there is no systemd as process 1 here), answering a
# search and stopping cleanly on SIGTERM; the installed client run in launch-query mode
# as an ordinary user; and what remove and purge leave. Needs root and a build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
fail() { echo "package test: $*" >&2; exit 1; }

(cd build && rm -f ./*.deb && cpack >/dev/null)
client_deb=$(ls build/z39client_*_amd64.deb)
server_deb=$(ls build/catalogue-server_*_amd64.deb)

# lintian: no error in either package (warnings are shown).
lintian --fail-on error --tag-display-limit 0 "$client_deb" "$server_deb" 2>&1 \
    | grep -v 'running with root privileges' || true
lintian --fail-on error "$client_deb" "$server_deb" >/dev/null 2>&1 || fail "lintian found errors"

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "./$client_deb" "./$server_deb" \
    >/dev/null
for p in /usr/bin/z39client /usr/bin/yazc /usr/bin/z39batch /usr/bin/z39probe /usr/sbin/catalogue-server; do
    test -x "$p" || fail "$p missing"
done
# The menu entry names the installed program and icon.
desktop=/usr/share/applications/z39client.desktop
grep -q 'exec "/usr/bin/z39client"' "$desktop" || fail "menu entry"
test -f "$(sed -n 's/^Icon=//p' "$desktop")" || fail "icon"

# The manuals: found by man, and rendered without a warning. (A system that keeps no
# manuals, as slim images do, drops them on installation: they are read from the packages.)
pages=$(mktemp -d)
if grep -rqs '^path-exclude=*/usr/share/man' /etc/dpkg/dpkg.cfg.d/; then
    dpkg-deb -x "$client_deb" "$pages" && dpkg-deb -x "$server_deb" "$pages"
fi
for page in z39client.1 yazc.1 z39batch.1 z39probe.1 catalogue-server.8; do
    if [ -n "$(ls -A "$pages")" ]; then
        file=$pages/usr/share/man/man${page##*.}/$page.gz
        test -f "$file" || fail "$page is not in the packages"
    else
        file=$(man -w "${page%.*}") || fail "man ${page%.*} finds nothing"
    fi
    case "$file" in */man${page##*.}/$page.gz) ;; *) fail "$page is $file" ;; esac
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: $warnings"
done
rm -rf "$pages"
for program in z39client yazc z39batch z39probe catalogue-server; do
    "$program" --version | grep -q "^$program [0-9]" || fail "$program --version"
    "$program" --help >/dev/null || fail "$program --help"
done
env -u DISPLAY -u WAYLAND_DISPLAY z39client --help >/dev/null || fail "z39client --help without a display"
no_display=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM z39client 2>&1 || true)
[ "$(printf '%s\n' "$no_display" | wc -l)" -eq 1 ] || fail "z39client without a display: $no_display"
# The first start of the installed client as a new user (root included, who may write into
# /usr/bin): its settings go to ~/.config/z39client/, and the example target list is copied
# there. Its notice then waits to be read, so the run is cut short.
example=/usr/share/doc/z39client/examples/z39svr.cfg
test -f "$example" || fail "no example target list"
first=$(mktemp -d)
(cd "$first" && env -u XDG_CONFIG_HOME -u Z39_CONFIG_DIR HOME="$first" XDG_RUNTIME_DIR="$first" \
    QT_QPA_PLATFORM=offscreen timeout 10 z39client >/dev/null 2>&1 || true)
cmp -s "$example" "$first/.config/z39client/z39svr.cfg" || fail "the example list was not copied"
test ! -e /usr/bin/Z39.ini || fail "the installed client wrote its settings into /usr/bin"
rm -rf "$first"

# The service user, its folder and the settings file.
unit=/usr/lib/systemd/system/catalogue-server.service
entry=$(getent passwd catalogue-server) || fail "no user catalogue-server"
uid=$(echo "$entry" | cut -d: -f3)
[ "$uid" -lt 1000 ] || fail "catalogue-server is not a system user ($uid)"
case "$(echo "$entry" | cut -d: -f7)" in */nologin | */false) ;; *) fail "the user has a shell" ;; esac
[ "$(stat -c '%U:%G %a' /var/lib/catalogue-server)" = "catalogue-server:catalogue-server 750" ] \
    || fail "/var/lib/catalogue-server is $(stat -c '%U:%G %a' /var/lib/catalogue-server)"
dpkg-query -W -f='${Conffiles}\n' catalogue-server | grep -q '^ /etc/default/catalogue-server ' \
    || fail "/etc/default/catalogue-server is no conffile"
[ "$(stat -c '%U:%G %a' /etc/default/catalogue-server)" = "root:catalogue-server 640" ] \
    || fail "conffile mode $(stat -c '%U:%G %a' /etc/default/catalogue-server)"
contents=$(dpkg-deb -c "$server_deb")
grep -q '^-rw-r----- .*/etc/default/catalogue-server$' <<<"$contents" \
    || fail "the defaults file is not 0640 in the package"
systemd-analyze verify "$unit" || fail "systemd-analyze verify"
# Enabled on installation, as Debian enables services (started too where systemd runs).
wants=/etc/systemd/system/multi-user.target.wants/catalogue-server.service
[ "$(readlink -f "$wants")" = "$(readlink -f "$unit")" ] || fail "the service is not enabled"
grep -q '^Restart=on-failure$' "$unit" || fail "Restart="
grep -q '^AmbientCapabilities=CAP_NET_BIND_SERVICE$' "$unit" || fail "AmbientCapabilities="

# The unit's command lines, as the service user, with the settings file's environment and
# a throw-away catalogue and port.
work=$(mktemp -d)
chmod 755 "$work"
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
install -d -o catalogue-server -g catalogue-server -m 0750 "$work/data"
free_port() {
    python3 - <<'PY'
import socket
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close()
    try:
        t = socket.socket(); t.bind(("127.0.0.1", port + 1)); t.close(); print(port); break
    except OSError:
        pass
PY
}
port=$(free_port)
settings() {
    grep -E '^[A-Z_]+=' /etc/default/catalogue-server
    echo "CATALOGUE_DB=$work/data/catalogue.db"
    echo "CATALOGUE_PORT=$port"
}
# setpriv runs the command itself in this process (no session in between), as systemd does.
as_service() {
    setpriv --reuid=catalogue-server --regid=catalogue-server --init-groups --no-new-privs \
        env -i PATH=/usr/sbin:/usr/bin $(settings) "$@"
}
pre=$(sed -n 's/^ExecStartPre=//p' "$unit")
start=$(sed -n 's/^ExecStart=//p' "$unit")
as_service $pre >/dev/null || fail "ExecStartPre: $pre"
[ "$(stat -c %U "$work/data/catalogue.db")" = catalogue-server ] || fail "catalogue owner"
python3 - "$work/books.iso" <<'PY'
import sys
sys.path.insert(0, "tests/x11")
import zebra
with open(sys.argv[1], "wb") as f:
    f.write(zebra.marc_record([("001", "S1"), ("010", "  ", [("a", "9787536692930")]),
                               ("200", "1 ", [("a", "三体"), ("f", "刘慈欣著")])]))
PY
chmod 644 "$work/books.iso"
as_service catalogue-server import "$work/books.iso" >/dev/null || fail "import"
setpriv --reuid=catalogue-server --regid=catalogue-server --init-groups --no-new-privs \
    env -i PATH=/usr/sbin:/usr/bin $(settings) $start >"$work/server.out" 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.1; done
grep -q listening "$work/server.out" || fail "the service's ExecStart did not listen: $(cat "$work/server.log")"
answer=$(python3 - "$port" <<'PY'
import socket, sys
request = "REQU_BEGIN1@10@ ma_isbn='9787536692930'BAG_END".encode("gbk")
with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10) as s:
    s.sendall(request)
    data = b""
    while not data.endswith(b"BAG_END"):
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
print(data.count(b"REC_BEGIN"))
PY
)
[ "$answer" = 1 ] || fail "the service answered $answer records"
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
[ "$status" = 0 ] || fail "SIGTERM: exit status $status"
grep -q "ma_isbn" "$work/server.log" || fail "no log line on standard error"
echo "service: ExecStart as catalogue-server answered a search and stopped on SIGTERM"

# The installed client as an ordinary user, against that catalogue served by hand.
user=z39tester
id "$user" >/dev/null 2>&1 || useradd -m "$user"
home=$(getent passwd "$user" | cut -d: -f6)
setpriv --reuid=catalogue-server --regid=catalogue-server --init-groups --no-new-privs \
    env -i PATH=/usr/sbin:/usr/bin $(settings) $start >"$work/server.out" 2>"$work/server.log" &
server=$!
for _ in $(seq 100); do grep -q listening "$work/server.out" 2>/dev/null && break; sleep 0.1; done
runuser -u "$user" -- mkdir -p "$home/.config/z39client" "$home/tmp"
printf '[\xcf\xb5\xcd\xb3\xb2\xce\xca\xfd]\r\nKSIP=127.0.0.1\r\nKSPORT=%s\r\nKSDEFAULT=1\r\n' "$port" \
    | runuser -u "$user" -- tee "$home/.config/z39client/Z39.ini" >/dev/null
rm -f "$home/tmp/lib.tmp"
(cd "$home" && runuser -u "$user" -- env HOME="$home" TMPDIR="$home/tmp" QT_QPA_PLATFORM=offscreen \
    timeout 60 /usr/bin/z39client "ISBN@9787536692930")
grep -q "9787536692930" "$home/tmp/lib.tmp" || fail "installed z39client handed back no record"
echo "installed z39client: record handed back in lib.tmp"
kill -TERM "$server"
wait "$server" || true
server=""

# Remove keeps the settings and the data; purge removes the settings, keeps the data and
# says where it is.
echo keep >/var/lib/catalogue-server/marker
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq catalogue-server >/dev/null
[ ! -e /usr/sbin/catalogue-server ] || fail "remove left the program"
[ -f /etc/default/catalogue-server ] || fail "remove took the conffile"
[ -f /var/lib/catalogue-server/marker ] || fail "remove took the data"
purge=$(DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq catalogue-server 2>&1)
[ ! -e /etc/default/catalogue-server ] || fail "purge left the conffile"
[ ! -e "$unit" ] || fail "purge left the unit"
[ ! -e "$wants" ] || fail "purge left the service enabled"
[ -f /var/lib/catalogue-server/marker ] || fail "purge took the data"
echo "$purge" | grep -q "/var/lib/catalogue-server was kept" || fail "purge said nothing of the data"
rm -f /var/lib/catalogue-server/marker
echo "remove and purge: the catalogue in /var/lib/catalogue-server kept, the rest gone"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq z39client >/dev/null
