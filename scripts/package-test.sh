#!/usr/bin/env bash
# The Debian package, from a copy of the tree to a purge:
#   1. builds it with dpkg-buildpackage (in a temporary copy: nothing is written into the tree or
#      beside it) and checks it with lintian (no error allowed);
#   2. installs it with dpkg -i, checks the installed files, runs /usr/sbin/tesselcomsvc --version
#      and one --once cycle from the installed files (the unit's --config and --state-dir) against
#      a private MariaDB and a capture SMTP server on 127.0.0.1;
#   3. removes it (the configuration stays), installs it again, then purges it (nothing stays).
# Step 2 and 3 need Debian and root (or sudo); elsewhere they are skipped, saying so. The package
# is never left installed. Set TESSEL_PACKAGE_BUILD_ONLY=1 for step 1 alone, and
# TESSEL_PACKAGE_OBJECTS=<a build directory> to pack the program built there instead of compiling it
# again (scripts/test.sh does, with the build its suite tested).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
readonly package=tesselcomsvc
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '== package: %s\n' "$*"; }
fail() { echo "package-test: $*" >&2; exit 1; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

work=$(mktemp -d /tmp/tessel-package-XXXXXX)
installed=""
capture_pid=""
cleanup() {
    set +e
    if [ -n "$installed" ]; then $SUDO dpkg --purge "$package" >/dev/null 2>&1; fi
    if [ -n "$capture_pid" ]; then kill -TERM "$capture_pid" 2>/dev/null; exec 7>&-; fi
    if [ -f "$work/db/env" ]; then bash "$repo/scripts/private-mariadb.sh" stop "$work/db" >/dev/null 2>&1; fi
    $SUDO rm -rf "$work"
}
trap cleanup EXIT

step "copying the tree"
mkdir "$work/src"
if git -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Tracked and new files as they are now, without build trees and other ignored files.
    git -C "$repo" ls-files -z --cached --others --exclude-standard |
        (cd "$repo" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
        tar -C "$repo" --null -T - -cf - | tar -C "$work/src" -xf -
else
    tar -C "$repo" --exclude='./build*' --exclude=./work --exclude='./obj-*' -cf - . |
        tar -C "$work/src" -xf -
fi

if [ -n "${TESSEL_PACKAGE_OBJECTS:-}" ]; then
    step "building with dpkg-buildpackage from the objects in $TESSEL_PACKAGE_OBJECTS (log in the temporary directory)"
else
    step "building with dpkg-buildpackage (log in the temporary directory)"
fi
if ! (cd "$work/src" && DEB_BUILD_OPTIONS="nocheck noautodbgsym parallel=$jobs" \
        dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1); then
    tail -n 60 "$work/build.log" >&2
    fail "dpkg-buildpackage failed"
fi
deb=$(ls "$work"/${package}_*.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "built $(basename "$deb")"

step "lintian"
lintian_out="$work/lintian.txt"
lintian --fail-on error --display-info "$deb" >"$lintian_out" 2>&1 || { cat "$lintian_out" >&2; fail "lintian found errors"; }
if [ -s "$lintian_out" ]; then cat "$lintian_out"; else echo "lintian: nothing to report"; fi

if [ "${TESSEL_PACKAGE_BUILD_ONLY:-0}" = 1 ]; then exit 0; fi

if [ ! -f /etc/debian_version ] || ! command -v dpkg >/dev/null; then
    echo "package-test: this machine is not Debian: the package was built and checked, but not installed"
    exit 0
fi
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -qv "not-installed"; then
    fail "$package is installed on this machine; this test installs and purges it, so it does not run (dpkg --purge $package first)"
fi

step "installing with dpkg -i"
installed=yes
$SUDO dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "dpkg -i failed"; }
cat "$work/install.log"
grep -q "enabled but not started" "$work/install.log" || fail "the installation printed no note about the configuration"

step "checking the installed files"
# check WHAT TEST... - one check; its description is printed when it fails.
failures=0
check() {
    local what=$1; shift
    if ! "$@" >/dev/null 2>&1; then echo "FAILED: $what" >&2; failures=$((failures + 1)); fi
}
mode_of() { stat -c '%a %U:%G' "$1"; }
unit=$(dpkg -L "$package" | grep '/systemd/system/tesselcomsvc.service$' || true)
check "the unit is installed" test -n "$unit"
check "/usr/sbin/tesselcomsvc is an executable" test -x /usr/sbin/tesselcomsvc
check "configs.ini is 0600 root:root" test "$(mode_of /etc/tesselcomsvc/configs.ini)" = "600 root:root"
check "configs.ini is a conffile" sh -c "dpkg-query -W -f='\${Conffiles}' $package | grep -q ' /etc/tesselcomsvc/configs.ini '"
check "/var/lib/tesselcomsvc is 0700 root:root" test "$(mode_of /var/lib/tesselcomsvc)" = "700 root:root"
for doc in README.md operations.md schema.sql copyright; do
    check "/usr/share/doc/$package/$doc is installed" sh -c "ls /usr/share/doc/$package/$doc* "
done
check "the manual page is installed" test -f /usr/share/man/man8/tesselcomsvc.8.gz
check "the unit starts the service with the packaged places" grep -qx \
    'ExecStart=/usr/sbin/tesselcomsvc --config=/etc/tesselcomsvc/configs.ini --state-dir=/var/lib/tesselcomsvc' "$unit"
while IFS= read -r directive; do
    check "the unit holds the sandbox line $directive" grep -qxF -- "$directive" "$unit"
done < <(grep -v '^ReadWritePaths=' "$repo/src/service/unit_sandbox.conf")
check "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/tesselcomsvc.service
if command -v systemd-analyze >/dev/null; then
    check "systemd-analyze verify accepts the unit" systemd-analyze verify "$unit"
fi
installed_version=$(/usr/sbin/tesselcomsvc --version)
echo "$installed_version"
check "--version names the package's version" test "$installed_version" = "$package $version"
[ "$failures" -eq 0 ] || fail "$failures check(s) of the installed files failed"

step "one cycle from the installed files: private MariaDB, capture SMTP server"
bash scripts/private-mariadb.sh start "$work/db" >/dev/null
# shellcheck disable=SC1091
. "$work/db/env"
sql() { mariadb --no-defaults --protocol=tcp --host="$HOST" --port="$PORT" --user="$USER" \
        --password="$PASSWORD" --batch --skip-column-names "$DATABASE" "$@"; }
mkdir "$work/mail"
mkfifo "$work/capture.stdin"
/usr/bin/python3 tests/support/smtp_capture.py --dir "$work/mail" \
    <"$work/capture.stdin" >"$work/capture.log" 2>&1 &
capture_pid=$!
exec 7>"$work/capture.stdin"   # the server runs while this end stays open
for _ in $(seq 100); do [ -s "$work/mail/port" ] && break; sleep 0.1; done
[ -s "$work/mail/port" ] || { cat "$work/capture.log" >&2; fail "the capture SMTP server did not start"; }
smtp_port=$(cat "$work/mail/port")

# The installed template, filled in as an operator would.
cipher=$(printf '%s\n' "$PASSWORD" | /usr/sbin/tesselcomsvc --encipher)
$SUDO sed -i -e "s/^Server=.*/Server=$HOST/" -e "s/^Port=.*/Port=$PORT/" \
    -e "s/^Database=.*/Database=$DATABASE/" -e "s/^Username=.*/Username=$USER/" \
    -e "s/^Password=.*/Password=$cipher/" /etc/tesselcomsvc/configs.ini
sql <<SQL
DELETE FROM configs;
INSERT INTO configs (Propriedade, Valor) VALUES
  ('email.servidor', '127.0.0.1'), ('email.porta', '$smtp_port'), ('email.user', ''),
  ('email.pass', ''), ('email.remetente', 'alarms@tessel.test'), ('email.ssl', '0');
INSERT INTO objectos_id (UID, Nome) VALUES ('PKG-1', 'notes.txt');
INSERT INTO ficheiros (UID, ID, package) VALUES ('PKG-1', 1, 'from the '), ('PKG-1', 2, 'package');
INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos)
  VALUES ('Office <office@tessel.test>', 'ana@example.test', 'Packaged', 'Sent by the package.', 'PKG-1');
SQL
status=0
$SUDO /usr/sbin/tesselcomsvc --once --config=/etc/tesselcomsvc/configs.ini \
    --state-dir=/var/lib/tesselcomsvc || status=$?
[ "$status" -eq 0 ] || fail "tesselcomsvc --once exited with status $status"
[ "$(sql -e 'SELECT COUNT(*) FROM mail_spooler')" = 0 ] || fail "the queued row is still there"
received=$(ls -d "$work/mail"/msg-[0-9]* 2>/dev/null | wc -l)
[ "$received" -eq 1 ] || fail "the SMTP server received $received messages, not 1"
grep -q 'filename="notes.txt"' "$work/mail"/msg-1/data || fail "the message lacks its attachment"
check "attachments/ was made in the state directory" test -d /var/lib/tesselcomsvc/attachments
[ "$failures" -eq 0 ] || fail "the cycle left no attachments/ in /var/lib/tesselcomsvc"
echo "delivered 1 message with its attachment; the queue is empty"

step "removing: the service's files go, its configuration stays"
$SUDO dpkg -r "$package" >/dev/null
check "the program is removed" test ! -e /usr/sbin/tesselcomsvc
check "the unit is removed" test ! -e "$unit"
check "the unit is disabled" test ! -L /etc/systemd/system/multi-user.target.wants/tesselcomsvc.service
check "the configuration stays" test -f /etc/tesselcomsvc/configs.ini
[ "$failures" -eq 0 ] || fail "$failures check(s) after the removal failed"

step "installing again: enabled again, the filled-in configuration kept"
$SUDO dpkg -i "$deb" >/dev/null
check "the unit is enabled again" test -L /etc/systemd/system/multi-user.target.wants/tesselcomsvc.service
check "the configuration kept its values" grep -qx "Server=$HOST" /etc/tesselcomsvc/configs.ini
[ "$failures" -eq 0 ] || fail "$failures check(s) after installing again failed"

step "purging: nothing stays"
$SUDO dpkg --purge "$package" >/dev/null
installed=""
for path in /etc/tesselcomsvc /var/lib/tesselcomsvc /usr/share/doc/$package \
        /etc/systemd/system/multi-user.target.wants/tesselcomsvc.service \
        /var/lib/systemd/deb-systemd-helper-enabled/tesselcomsvc.service.dsh-also; do
    check "$path is gone" test ! -e "$path" -a ! -L "$path"
done
check "dpkg no longer knows the package" sh -c "! dpkg-query -W $package"
[ "$failures" -eq 0 ] || fail "$failures check(s) after the purge failed"
echo "package-test: built, checked, installed, ran a cycle, removed and purged $package $version"
