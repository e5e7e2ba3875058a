#!/usr/bin/env bash
# bench/latency.sh - how soon a queued row reaches the mail server (not run by CI).
#
# The service runs in the foreground against a private MariaDB (scripts/private-mariadb.sh) and an
# aiosmtpd sink on 127.0.0.1 that notes when each message arrives. BENCH_LATENCY_ROWS rows (200)
# are queued one at a time at random moments over BENCH_LATENCY_SECONDS (150); each row's subject
# carries the database's time of its INSERT, so the latency of a row is its arrival at the sink
# less that time. Measured with cycle.watch off (the 30-second rhythm alone) and at
# BENCH_LATENCY_WATCH_MS (1000): median and 95th percentile. Then the queries the watch costs: the
# server's Com_select over BENCH_LATENCY_IDLE_SECONDS (60) of an idle service, watch on less watch
# off, per minute.
#
# Settings (environment): those above, and BENCH_BINARY (a tesselcomsvc already built; default
# build/tesselcomsvc). Targets with the watch at 1000 ms: median <= 1.5 s, 95th percentile <= 2.5 s.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

rows=${BENCH_LATENCY_ROWS:-200}
seconds=${BENCH_LATENCY_SECONDS:-150}
watch_ms=${BENCH_LATENCY_WATCH_MS:-1000}
idle_seconds=${BENCH_LATENCY_IDLE_SECONDS:-60}
binary=${BENCH_BINARY:-$repo/build/tesselcomsvc}
readonly kMedianTarget=1.5
readonly kP95Target=2.5
readonly kPython=/usr/bin/python3

say() { printf '%s\n' "$*"; }
step() { printf '\n== %s\n' "$*"; }
die() { printf 'bench: %s\n' "$*" >&2; exit 1; }
[ -x "$binary" ] || die "no executable at $binary (build first, or set BENCH_BINARY)"
"$kPython" -c 'import aiosmtpd' 2>/dev/null || die "python3-aiosmtpd is missing (scripts/install-deps.sh)"

work=$(mktemp -d /tmp/tessel-latency-XXXXXX)
sink_pid=""
service_pid=""
cleanup() {
    set +e
    [ -n "$service_pid" ] && { kill -TERM "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null; }
    [ -n "$sink_pid" ] && { kill -TERM "$sink_pid" 2>/dev/null; wait "$sink_pid" 2>/dev/null; }
    bash "$repo/scripts/private-mariadb.sh" stop "$work/db" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

step "set-up"
bash scripts/private-mariadb.sh start "$work/db" >/dev/null
while IFS='=' read -r key value; do declare "DB_$key=$value"; done <"$work/db/env"
sql() {
    mariadb --no-defaults --protocol=tcp --host="$DB_HOST" --port="$DB_PORT" --user="$DB_USER" \
        --password="$DB_PASSWORD" --batch --skip-column-names "$DB_DATABASE" "$@"
}
admin_sql() {
    mariadb --no-defaults --protocol=tcp --host="$DB_HOST" --port="$DB_PORT" --user="$DB_ADMIN_USER" \
        --password="$DB_ADMIN_PASSWORD" --batch --skip-column-names -e "$1"
}

# The sink: one line per message, "<arrival, epoch seconds> <subject>".
cat >"$work/sink.py" <<'PY'
import asyncio, email, sys, time
from aiosmtpd.controller import Controller

class Note:
    async def handle_DATA(self, server, session, envelope):
        arrived = time.time()
        subject = email.message_from_bytes(envelope.content).get("Subject", "")
        with open(sys.argv[2], "a") as out:
            out.write("%.6f %s\n" % (arrived, subject))
        return "250 OK"

controller = Controller(Note(), hostname="127.0.0.1", port=int(sys.argv[1]))
controller.start()
try:
    sys.stdin.read()
finally:
    controller.stop()
PY
sink_port=$("$kPython" -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
: >"$work/arrivals"
sleep infinity | "$kPython" "$work/sink.py" "$sink_port" "$work/arrivals" &
sink_pid=$!

mkdir -p "$work/bin"
cp "$binary" "$work/bin/tesselcomsvc"
cipher=$(printf '%s\n' "$DB_PASSWORD" | "$work/bin/tesselcomsvc" --encipher)
printf '[DBCONFIG]\nServer=%s\nPort=%s\nDatabase=%s\nUsername=%s\nPassword=%s\n' \
    "$DB_HOST" "$DB_PORT" "$DB_DATABASE" "$DB_USER" "$cipher" >"$work/bin/configs.ini"
chmod 600 "$work/bin/configs.ini"
sql <<SQL
DELETE FROM configs;
INSERT INTO configs (Propriedade, Valor) VALUES
  ('email.servidor', '127.0.0.1'), ('email.porta', '$sink_port'), ('email.user', ''),
  ('email.pass', ''), ('email.remetente', 'bench@tessel.test'), ('email.ssl', '0');
SQL
say "MariaDB on $DB_HOST:$DB_PORT, sink on 127.0.0.1:$sink_port, load $(cut -d' ' -f1-3 /proc/loadavg)"

# set_watch MS - cycle.watch (empty: off).
set_watch() {
    sql -e "DELETE FROM configs WHERE Propriedade = 'cycle.watch'"
    [ -z "$1" ] || sql -e "INSERT INTO configs (Propriedade, Valor) VALUES ('cycle.watch', '$1')"
}
start_service() {
    "$work/bin/tesselcomsvc" --state-dir="$work/bin" >"$work/service.log" 2>&1 &
    service_pid=$!
    # The first cycle (after 30 ticks) reads the settings; only then does the watch look.
    local waited=0
    until grep -q "This instance is active" "$work/service.log"; do
        [ "$waited" -lt 600 ] || die "the service did not become active: $(cat "$work/service.log")"
        sleep 0.1
        waited=$((waited + 1))
    done
}
stop_service() {
    kill -TERM "$service_pid"
    wait "$service_pid" || true
    service_pid=""
}

# run_latency NAME - queues the rows at random moments and prints "median p95" of their latency.
run_latency() {
    local name=$1 i pause
    : >"$work/arrivals"
    start_service
    for i in $(seq "$rows"); do
        # Uniform random gaps whose mean spreads the rows over the whole period.
        pause=$(awk -v s="$seconds" -v n="$rows" -v r="$RANDOM" 'BEGIN { printf "%.3f", 2 * s / n * r / 32767 }')
        sleep "$pause"
        sql -e "INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto)
                VALUES ('Bench <bench@tessel.test>', 'r$i@tessel.test',
                        CONCAT('latency ', UNIX_TIMESTAMP(NOW(6))), 'Body')"
    done
    local waited=0
    while [ "$(wc -l <"$work/arrivals")" -lt "$rows" ]; do
        [ "$waited" -lt 1200 ] || die "$name: only $(wc -l <"$work/arrivals") of $rows messages arrived"
        sleep 0.1
        waited=$((waited + 1))
    done
    stop_service
    awk '{ print $1 - $3 }' "$work/arrivals" | sort -g >"$work/latency-$name"
    awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        p = v[int(0.95 * NR + 0.999999)]
        printf "%.3f %.3f %.3f\n", m, p, v[NR] }' "$work/latency-$name"
}

# selects_per_minute - Com_select of the whole server per minute while the service idles.
selects_per_minute() {
    start_service
    local before after
    before=$(admin_sql "SHOW GLOBAL STATUS LIKE 'Com_select'" | cut -f2)
    sleep "$idle_seconds"
    after=$(admin_sql "SHOW GLOBAL STATUS LIKE 'Com_select'" | cut -f2)
    stop_service
    awk -v a="$before" -v b="$after" -v s="$idle_seconds" 'BEGIN { printf "%.1f\n", (b - a) * 60 / s }'
}

step "latency: $rows rows over about $seconds s, cycle.watch off"
set_watch ""
read -r off_median off_p95 off_max < <(run_latency off)
say "median $off_median s, 95th percentile $off_p95 s, longest $off_max s"

step "latency: $rows rows over about $seconds s, cycle.watch = $watch_ms ms"
set_watch "$watch_ms"
read -r on_median on_p95 on_max < <(run_latency on)
say "median $on_median s, 95th percentile $on_p95 s, longest $on_max s"

step "the watch's queries: $idle_seconds s of an idle service"
set_watch ""
idle_off=$(selects_per_minute)
set_watch "$watch_ms"
idle_on=$(selects_per_minute)
say "SELECTs per minute: watch off $idle_off, watch at $watch_ms ms $idle_on," \
    "so the watch costs $(awk -v a="$idle_on" -v b="$idle_off" 'BEGIN { printf "%.1f", a - b }') a minute"
say "EXPLAIN of the watch's query:"
sql -e "EXPLAIN SELECT (SELECT MAX(ID) FROM mail_spooler), (SELECT MAX(ID) FROM alarmes)"

verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t) ? "met" : "missed" }'; }
step "targets (watch at $watch_ms ms)"
say "median $on_median s <= $kMedianTarget s: $(verdict "$on_median" "$kMedianTarget")"
say "95th percentile $on_p95 s <= $kP95Target s: $(verdict "$on_p95" "$kP95Target")"
say "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
