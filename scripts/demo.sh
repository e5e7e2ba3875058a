#!/usr/bin/env bash
# The service's main job end to end, on private defaults (README command 1):
# installs what is missing, builds, starts a private MariaDB and a capture SMTP server on loopback,
# queues sample mail and a due alarm, shows --check and --queue, runs the real service until its first cycle is done, stops it
# with SIGTERM and shows what the SMTP server received. Everything lives under work/demo and is
# removed afterwards; nothing system-wide is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work="$repo/work/demo"
step() { printf '\n== %s\n' "$*"; }

step "installing what is missing"
bash scripts/install-deps.sh

step "building"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tesselcomsvc >/dev/null
echo "built build/tesselcomsvc"

service_pid=""
capture_pid=""
cleanup() {
    set +e
    [ -n "$service_pid" ] && kill -TERM "$service_pid" 2>/dev/null
    [ -n "$capture_pid" ] && kill -TERM "$capture_pid" 2>/dev/null
    exec 7>&- 2>/dev/null
    bash "$repo/scripts/private-mariadb.sh" stop "$work/db" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work/bin" "$work/mail"

step "starting a private MariaDB (127.0.0.1, data in work/demo/db) and loading sql/schema.sql"
bash scripts/private-mariadb.sh start "$work/db"
# shellcheck disable=SC1091
. "$work/db/env"
sql() { mariadb --no-defaults --protocol=tcp --host="$HOST" --port="$PORT" --user="$USER" \
        --password="$PASSWORD" --default-character-set=latin1 --batch --skip-column-names "$DATABASE" "$@"; }

step "starting a capture SMTP server (python3-aiosmtpd, 127.0.0.1, AUTH LOGIN required)"
mkfifo "$work/capture.stdin"
/usr/bin/python3 tests/support/smtp_capture.py --dir "$work/mail" --auth-login demo:demo-secret \
    <"$work/capture.stdin" >"$work/capture.log" 2>&1 &
capture_pid=$!
exec 7>"$work/capture.stdin"   # the server runs while this end stays open
for _ in $(seq 100); do [ -s "$work/mail/port" ] && break; sleep 0.1; done
smtp_port=$(cat "$work/mail/port")
echo "capture server on 127.0.0.1:$smtp_port"

step "writing work/demo/bin/configs.ini with the enciphered database password"
cp build/tesselcomsvc "$work/bin/"
cipher=$(printf '%s\n' "$PASSWORD" | "$work/bin/tesselcomsvc" --encipher)
cat >"$work/bin/configs.ini" <<INI
[DBCONFIG]
Server=$HOST
Port=$PORT
Database=$DATABASE
Username=$USER
Password=$cipher
INI
chmod 600 "$work/bin/configs.ini"
sed 's/^Password=.*/Password=<enciphered>/' "$work/bin/configs.ini"

step "filling the settings table configs"
sql <<SQL
DELETE FROM configs;
INSERT INTO configs (Propriedade, Valor) VALUES
  ('email.servidor', '127.0.0.1'), ('email.porta', '$smtp_port'),
  ('email.user', 'demo'), ('email.pass', 'demo-secret'),
  ('email.remetente', 'Tessel Alarms <alarms@tessel.test>'),
  ('email.ssl', '0'), ('email.outlook', '0'),
  ('sms.prefix', '351'), ('sms.user', 'demo-sms'), ('sms.password', 'sms-secret'), ('sms.idapi', '3141592');
SQL
sql -e "SELECT CONCAT(Propriedade, ' = ', Valor) FROM configs"

step "queueing sample mail"
# The latin1 subject and body are written as latin1 bytes, as the document system stores them.
{
    printf "INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto) VALUES\n"
    printf "  ('Office <office@tessel.test>', 'ana@example.test;rui@example.test', 'Weekly report', 'Hello,\\r\\n\\r\\nthe weekly report is ready.\\r\\n.\\r\\nOffice');\n"
    printf "INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto) VALUES\n"
    printf "  ('Jo\xe3o Pe\xe7anha <joao@tessel.test>', 'Ant\xf3nio <antonio@example.test>', 'Reuni\xe3o amanh\xe3 \xe0s 10h', 'Ol\xe1 Ant\xf3nio,\\r\\na reuni\xe3o est\xe1 confirmada.\\r\\nCumprimentos');\n"
    printf "DELETE FROM objectos_id; DELETE FROM ficheiros;\n"
    printf "INSERT INTO objectos_id (UID, Nome) VALUES ('DOC-1', 'minutes.txt'), ('DOC-2', 'logo.bin');\n"
    printf "INSERT INTO ficheiros (UID, ID, package) VALUES\n"
    printf "  ('DOC-1', 1, 'Minutes of the meeting\\n'), ('DOC-1', 2, '1. Budget approved.\\n'), ('DOC-1', 3, '2. Next meeting on Monday.\\n'),\n"
    printf "  ('DOC-2', 1, UNHEX('89504E470D0A1A0A0000000D4948445200000001')), ('DOC-2', 2, UNHEX('0000000108060000001F15C4890000000A49444154'));\n"
    printf "INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos) VALUES\n"
    printf "  ('Archive <archive@tessel.test>', 'board@example.test', 'Documents of the meeting', 'Two documents are attached.', 'DOC-1;DOC-2');\n"
} >"$work/queue.sql"
sql <"$work/queue.sql"

# An alarm falls due only during its own minute: do not queue it in the last seconds of one.
while [ "$(date +%S)" -ge 50 ]; do sleep 1; done
today=$(date +%F)
now=$(date +%T)
sql <<SQL
INSERT INTO alarmes (Data, Hora, Alarme, Email, SMS, EmailDest, EmailAssunto, EmailTexto, SMSDest, SMSTexto)
VALUES ('$today', '$now', 0, 1, 1, 'duty@example.test', 'Alarm: backup check',
        'The nightly backup must be checked.', '912345678;934567890', 'Check the backup');
SQL
rows_before=$(sql -e "SELECT COUNT(*) FROM mail_spooler")
echo "queued: $rows_before rows in mail_spooler (one with two recipients, one with two attachments in 3+2 chunks), and an alarm due at $today $now with an e-mail and two SMS"

step "checking the settings step by step (--check: nothing is sent)"
"$work/bin/tesselcomsvc" --check

step "the queue as an operator sees it (--queue: reads only)"
"$work/bin/tesselcomsvc" --queue

step "running the service (tick 20 ms: the first cycle comes after 29 ticks), stopped by SIGTERM after its first cycle"
(cd "$work/bin" && exec ./tesselcomsvc --tick-ms=20) &
service_pid=$!
for _ in $(seq 300); do
    left=$(sql -e "SELECT (SELECT COUNT(*) FROM mail_spooler) + (SELECT COUNT(*) FROM alarmes)")
    [ "$left" = "0" ] && break
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.2
done
kill -TERM "$service_pid" 2>/dev/null || true
status=0
wait "$service_pid" || status=$?
service_pid=""
echo "service exited with status $status"

step "what the SMTP server received"
delivered=0
for d in $(ls -d "$work/mail"/msg-* 2>/dev/null | sort -t- -k2 -n); do
    delivered=$((delivered + 1))
    echo "--- message $delivered"
    echo "MAIL FROM: <$(cat "$d/mail_from")>"
    while read -r r; do echo "RCPT TO:   <$r>"; done <"$d/rcpt_tos"
    echo "AUTH: $( [ "$(cat "$d/auth")" = 1 ] && echo yes || echo no)   size: $(wc -c <"$d/data") bytes"
    # The header block: everything before the first empty line.
    # Header bytes above 127 are latin1: shown converted for the terminal.
    tr -d '\r' <"$d/data" | sed '/^$/q' | sed '/^$/d' | iconv -f ISO-8859-1 -t UTF-8
done

rows_left=$(sql -e "SELECT COUNT(*) FROM mail_spooler")
step "summary"
echo "messages queued: 7 (4 from the 3 queued rows, 3 from the alarm), delivered: $delivered, rows left: $rows_left"
if [ "$delivered" -ne 7 ] || [ "$rows_left" -ne 0 ] || [ "$status" -ne 0 ]; then
    echo "demo: not everything was delivered (see the records above)" >&2
    exit 1
fi
