#!/usr/bin/env bash
# bench/run.sh - the service's benchmarks (not run by CI). Prints every figure and the ratios that
# bench/RESULTS.md records:
#   1. drain throughput: BENCH_MESSAGES queued one-recipient messages of 1 KiB drained by
#      `tesselcomsvc --once` into Postfix's smtp-sink, beside smtp-source sending as many messages
#      of the same size to the same sink (one message per connection, one connection at a time),
#      and beside the mariadb client doing the drain's own database work alone (the SELECT and, per
#      row, the transaction that locks and removes it);
#   2. large attachment: one message with a 200 MiB and one with a 400 MiB attachment stored in
#      1 MiB chunks in ficheiros: wall time, peak resident memory, system calls; beside
#      `base64 -w 76` over the same file and the mariadb client reading the same chunks.
#      Before that, the same delivery with the index of ficheiros dropped (as some existing
#      installations may have it), at smaller sizes, to show what the chunk queries cost without it.
#   3.-6. queue scale, a large body, a long network path and TLS CPU: see bench/speed.sh, which this
#      script runs after parts 1 and 2.
# Each measurement is repeated BENCH_RUNS times and the median is reported.
#
# Everything runs on 127.0.0.1 under a temporary directory that is removed at the end: a private
# MariaDB (scripts/private-mariadb.sh), smtp-sink and smtp-source run out of the postfix package
# unpacked there (the package is never installed or configured, no Postfix service is started).
#
# Settings (environment): BENCH_RUNS (3), BENCH_MESSAGES (2000), BENCH_ATTACHMENT_MIB ("200 400"),
# BENCH_SHIPPED_SCHEMA_MIB ("32 64"; empty skips that part), BENCH_BUILD_DIR (build-bench),
# BENCH_BINARY (a tesselcomsvc already built: measured instead of building one), BENCH_PARTS
# ("drain attachment scale body wan tls": the parts to run), BENCH_SCALE_ROWS ("10000 50000 200000"),
# BENCH_SCALE_POOL_MIB (1024: InnoDB's buffer pool during the queue-scale part),
# BENCH_BODY_MIB (50), BENCH_WAN_MESSAGES (100), BENCH_WAN_RTT_MS (20), BENCH_TLS_MESSAGES (300).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

runs=${BENCH_RUNS:-3}
messages=${BENCH_MESSAGES:-2000}
attachment_sizes=${BENCH_ATTACHMENT_MIB-200 400}
shipped_sizes=${BENCH_SHIPPED_SCHEMA_MIB-32 64}
build="$repo/${BENCH_BUILD_DIR:-build-bench}"
prebuilt=${BENCH_BINARY:-}
parts=" ${BENCH_PARTS:-drain attachment scale body wan tls} "
scale_rows=${BENCH_SCALE_ROWS-10000 50000 200000}
scale_pool_mib=${BENCH_SCALE_POOL_MIB:-1024}
body_mib=${BENCH_BODY_MIB:-50}
wan_messages=${BENCH_WAN_MESSAGES:-100}
wan_rtt_ms=${BENCH_WAN_RTT_MS:-20}
tls_messages=${BENCH_TLS_MESSAGES:-300}
part() { [[ "$parts" == *" $1 "* ]]; }

readonly kMiB=1048576
readonly kMessageBytes=1024
# 16 lines of 62 characters and CRLF: a body of exactly kMessageBytes.
readonly kBodyLine=abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ
readonly kBodyLines=16
readonly kDrainTarget=0.8       # service wall <= 0.8 x (smtp-source + database floor)
readonly kRssTargetKiB=32768    # 32 MiB peak resident memory for the 200 MiB attachment
readonly kRssGrowthTarget=1.10  # 400 MiB attachment: at most 10% more than 200 MiB
readonly kAttachmentTarget=3    # service wall <= 3 x (base64 + reading the chunks)
readonly kSinkWaitSeconds=10

say() { printf '%s\n' "$*"; }
step() { printf '\n== %s\n' "$*"; }
die() { printf 'bench: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "run as root (apt-get, smtp-sink -u)"
[ "$runs" -ge 1 ] || die "BENCH_RUNS must be at least 1"

work=$(mktemp -d /tmp/tessel-bench-XXXXXX)
sink_pid=""
helper_pids=()
cleanup() {
    set +e
    if [ -n "$sink_pid" ]; then kill -TERM "$sink_pid" 2>/dev/null; wait "$sink_pid" 2>/dev/null; fi
    for pid in "${helper_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    bash "$repo/scripts/private-mariadb.sh" stop "$work/db" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/fig" "$work/bin" "$work/data"

# ---------------------------------------------------------------------------------------------
step "tools"
bash scripts/install-deps.sh
missing=()
for p in time strace; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# smtp-sink and smtp-source come out of the postfix package, unpacked here and never installed.
mkdir -p "$work/postfix"
download_postfix() { (cd "$work/postfix" && apt-get download postfix) >"$work/postfix/apt.log" 2>&1; }
if ! download_postfix; then
    apt-get update -qq
    download_postfix || { cat "$work/postfix/apt.log" >&2; die "apt-get download postfix failed"; }
fi
dpkg-deb -x "$work"/postfix/postfix_*.deb "$work/postfix/root"
pfx_lib="$work/postfix/root/usr/lib/postfix"
sink_bin="$work/postfix/root/usr/sbin/smtp-sink"
source_bin="$work/postfix/root/usr/sbin/smtp-source"
say "smtp-sink and smtp-source from $(basename "$work"/postfix/postfix_*.deb)"

# The delay proxy and TLS sink of parts 5 and 6 are always built here; the service too unless
# BENCH_BINARY names one.
targets=(delay_proxy smtp_tls_sink)
[ -n "$prebuilt" ] || targets+=(tesselcomsvc)
step "building ${targets[*]} in $build (Release)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF ${TESSEL_CMAKE_LAUNCHER:-} >"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; die "configure failed"; }
cmake --build "$build" --target "${targets[@]}" -j2 >>"$work/cmake.log" 2>&1 ||
    { tail -n 40 "$work/cmake.log" >&2; die "build failed"; }
cp "$build/bench/delay_proxy" "$build/bench/smtp_tls_sink" "$work/bin/"
if [ -n "$prebuilt" ]; then
    say "measuring the prebuilt $prebuilt"
    cp "$prebuilt" "$work/bin/tesselcomsvc"
else
    cp "$build/tesselcomsvc" "$work/bin/"
fi
service=("$work/bin/tesselcomsvc" --once)

# ---------------------------------------------------------------------------------------------
step "machine"
say "nproc: $(nproc)"
say "memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
say "cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
say "kernel: $(uname -srm)"
say "mariadb: $(mariadbd --version 2>/dev/null | sed 's/^.*Ver //')"
say "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"

# ---------------------------------------------------------------------------------------------
step "private MariaDB and smtp-sink on 127.0.0.1"
bash scripts/private-mariadb.sh start "$work/db"
while IFS='=' read -r key value; do
    declare "DB_$key=$value"
done <"$work/db/env"
mariadb_cmd=(mariadb --no-defaults --protocol=tcp --host="$DB_HOST" --port="$DB_PORT"
             --user="$DB_USER" --password="$DB_PASSWORD" --batch --skip-column-names "$DB_DATABASE")
sql() { "${mariadb_cmd[@]}" "$@"; }

free_port() {
    /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}
sink_port=$(free_port)
# -c: running counters on standard output; -u: smtp-sink refuses to keep root's privileges.
LD_LIBRARY_PATH="$pfx_lib" "$sink_bin" -u nobody -c "127.0.0.1:$sink_port" 256 \
    </dev/null >"$work/sink.out" 2>"$work/sink.err" &
sink_pid=$!
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$sink_port") 2>/dev/null && break
    sleep 0.1
done
kill -0 "$sink_pid" 2>/dev/null || { cat "$work/sink.err" >&2; die "smtp-sink did not start"; }
say "smtp-sink on 127.0.0.1:$sink_port (pid $sink_pid)"

# sink_messages - messages the sink has accepted so far (its last "mesg=" counter).
sink_messages() {
    tr '\r' '\n' <"$work/sink.out" | grep -o 'mesg=[0-9]*' | tail -n 1 | cut -d= -f2 | grep . || echo 0
}
# expect_sink COUNT - waits until the sink has counted COUNT messages; fails after a while.
expect_sink() {
    local waited=0
    while [ "$(sink_messages)" -lt "$1" ]; do
        [ "$waited" -lt $((kSinkWaitSeconds * 10)) ] || die "smtp-sink counted $(sink_messages) messages, expected $1"
        sleep 0.1
        waited=$((waited + 1))
    done
}

cipher=$(printf '%s\n' "$DB_PASSWORD" | "$work/bin/tesselcomsvc" --encipher)
printf '[DBCONFIG]\nServer=%s\nPort=%s\nDatabase=%s\nUsername=%s\nPassword=%s\n' \
    "$DB_HOST" "$DB_PORT" "$DB_DATABASE" "$DB_USER" "$cipher" >"$work/bin/configs.ini"
chmod 600 "$work/bin/configs.ini"
sql <<SQL
DELETE FROM configs;
INSERT INTO configs (Propriedade, Valor) VALUES
  ('email.servidor', '127.0.0.1'), ('email.porta', '$sink_port'), ('email.user', ''),
  ('email.pass', ''), ('email.remetente', 'bench@tessel.test'), ('email.ssl', '0'),
  ('email.outlook', '0');
SQL

# ---------------------------------------------------------------------------------------------
# measure NAME CMD... - runs CMD (with the redirections given to measure) under /usr/bin/time and
# appends "wall_s user_s sys_s maxrss_kib load1" to $work/fig/NAME. Fails when CMD fails.
measure() {
    local name=$1 t0 t1 load
    shift
    load=$(cut -d' ' -f1 /proc/loadavg)
    t0=$(date +%s%N)
    /usr/bin/time -f '%U %S %M' -o "$work/time.tmp" "$@"
    t1=$(date +%s%N)
    printf '%s %s %s\n' "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')" \
        "$(tail -n 1 "$work/time.tmp")" "$load" >>"$work/fig/$name"
}
# last NAME FIELD / median NAME FIELD - one field (1 wall, 2 user, 3 sys, 4 maxrss, 5 load) of the
# latest run, or its median over the runs.
last() { tail -n 1 "$work/fig/$1" | awk -v f="$2" '{ print $f }'; }
median() {
    awk -v f="$2" '{ print $f }' "$work/fig/$1" | sort -g |
        awk '{ v[NR] = $1 } END { n = NR; print (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }'
}
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
spool_rows() { sql -e "SELECT COUNT(*) FROM mail_spooler"; }
expect_empty_spool() { [ "$(spool_rows)" -eq 0 ] || die "mail_spooler still holds $(spool_rows) rows"; }

# ---------------------------------------------------------------------------------------------
if part drain; then
step "1. drain throughput: $messages messages of $kMessageBytes bytes, $runs runs"

queue_messages() {
    sql -e "INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos)
            SELECT 'Bench <bench@tessel.test>', CONCAT('rcpt', seq, '@tessel.test'),
                   CONCAT('Bench message ', seq), REPEAT(CONCAT('$kBodyLine', '\r\n'), $kBodyLines), ''
            FROM seq_1_to_$messages"
}
queue_messages
[ "$(sql -e "SELECT SUM(LENGTH(Texto)) FROM mail_spooler")" -eq $((messages * kMessageBytes)) ] ||
    die "queued bodies are not $kMessageBytes bytes each"
sql -e "DELETE FROM mail_spooler"

for run in $(seq "$runs"); do
    time_wait=$(ss -Htan state time-wait | wc -l)

    queue_messages
    before=$(sink_messages)
    measure drain "${service[@]}"
    expect_empty_spool
    expect_sink $((before + messages))

    before=$(sink_messages)
    measure source env LD_LIBRARY_PATH="$pfx_lib" "$source_bin" -s 1 -m "$messages" -l "$kMessageBytes" \
        -f bench@tessel.test -t rcpt@tessel.test "127.0.0.1:$sink_port"
    expect_sink $((before + messages))

    # The drain's own database work with the lease (the default): read the queue, then per row the
    # write that checks the row can be changed before it is sent, and after it the DELETE whose
    # condition confirms that the lease still names the drain's instance; each statement a round
    # trip of its own (the client sends one statement at a time). The lease names the service's
    # instance still (released, not taken), so each DELETE removes its row as the service's does.
    queue_messages
    first=$(sql -e "SELECT MIN(ID) FROM mail_spooler")
    holder=$(sql -e "SELECT CONCAT(SUBSTRING_INDEX(Valor, ';', 3), ';') FROM configs WHERE Propriedade = 'service.active'")
    fence="EXISTS (SELECT 1 FROM configs WHERE Propriedade = 'service.active' AND LEFT(Valor, CHAR_LENGTH('$holder')) = '$holder')"
    {
        echo "SELECT * FROM mail_spooler ORDER BY ID;"
        for id in $(seq "$first" $((first + messages - 1))); do
            echo "UPDATE mail_spooler SET Destinatario = Destinatario WHERE ID = $id;"
            echo "DELETE FROM mail_spooler WHERE ID = $id AND $fence;"
        done
        echo "SELECT * FROM mail_spooler ORDER BY ID;"
    } >"$work/floor.sql"
    measure floor "${mariadb_cmd[@]}" <"$work/floor.sql" >/dev/null
    expect_empty_spool

    say "run $run: service $(last drain 1) s, smtp-source $(last source 1) s, database floor $(last floor 1) s," \
        "ratio $(calc %.2f "$(last drain 1) / ($(last source 1) + $(last floor 1))")" \
        "(load $(last drain 5); $time_wait sockets in TIME-WAIT before the run)"
done

drain=$(median drain 1); src=$(median source 1); floor=$(median floor 1)
say ""
say "median wall: service $drain s, smtp-source $src s, database floor $floor s"
say "median CPU (user+sys): service $(calc %.3f "$(median drain 2) + $(median drain 3)") s," \
    "smtp-source $(calc %.3f "$(median source 2) + $(median source 3)") s," \
    "mariadb client $(calc %.3f "$(median floor 2) + $(median floor 3)") s"
say "per message: service $(calc %.3f "$drain * 1000 / $messages") ms," \
    "smtp-source $(calc %.3f "$src * 1000 / $messages") ms, floor $(calc %.3f "$floor * 1000 / $messages") ms"
ratio=$(calc %.2f "$drain / ($src + $floor)")
say "ratio service / (smtp-source + floor) = $ratio (target <= $kDrainTarget):" \
    "$(awk -v r="$ratio" -v t="$kDrainTarget" 'BEGIN { print (r <= t) ? "met" : "missed" }')"
say "against the service's wall time: smtp-source's SMTP work $(calc %.0f "100 * $src / $drain")%," \
    "database floor $(calc %.0f "100 * $floor / $drain")%;" \
    "service - (smtp-source + floor) = $(calc %+.3f "$drain - $src - $floor") s"

queue_messages
strace -f -c -o "$work/drain.strace" "${service[@]}"
expect_empty_spool
say ""
say "system calls of one drain (strace -c -f, not timed), per message:"
awk -v n="$messages" '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ && $NF != "total" {
        printf "  %-12s %6.2f\n", $NF, $4 / n }' \
    "$work/drain.strace" | sort -k2 -g -r | awk '$2 >= 0.5'

# Where the service's own processor time goes (perf, when installed; not timed).
if command -v perf >/dev/null; then
    queue_messages
    perf record -q -F 2999 -g -o "$work/drain.perf" "${service[@]}" >/dev/null 2>&1 || true
    expect_empty_spool
    say ""
    say "profile of one drain (perf, self time, the 15 largest):"
    perf report -i "$work/drain.perf" --stdio --no-children --sort dso,symbol 2>/dev/null >"$work/drain.report" || true
    grep -E '^ +[0-9.]+%' "$work/drain.report" | sed -e 's/^ */  /' -e 's/[ -]*$//' | sed -n '1,15p'
fi
fi

# ---------------------------------------------------------------------------------------------
if part attachment; then
max_mib=0
for s in $attachment_sizes $shipped_sizes; do [ "$s" -gt "$max_mib" ] && max_mib=$s; done
if [ "$max_mib" -gt 0 ]; then
    head -c $((max_mib * kMiB)) /dev/urandom >"$work/data/random.bin"
fi

# load_object UID MIB - stores the first MIB MiB of the random file as stored object UID in
# 1 MiB chunks, and writes that file to $work/data/UID.bin for the baselines.
load_object() {
    head -c $(($2 * kMiB)) "$work/data/random.bin" >"$work/data/$1.bin"
    sql -e "INSERT INTO objectos_id (UID, Nome) VALUES ('$1', '$1.bin')"
    /usr/bin/python3 bench/chunk_sql.py "$work/data/$1.bin" "$1" "$kMiB" | sql
    [ "$(sql -e "SELECT COUNT(*) FROM ficheiros WHERE UID = '$1'")" -eq "$2" ] || die "chunks of $1 not stored"
}
queue_attachment_message() {
    sql -e "INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos)
            VALUES ('Bench <bench@tessel.test>', 'big@tessel.test', 'Large attachment',
                    'The file is attached.', '$1')"
}
# deliver_attachment NAME UID - one timed drain of a message carrying UID.
deliver_attachment() {
    queue_attachment_message "$2"
    local before
    before=$(sink_messages)
    measure "$1" "${service[@]}"
    expect_empty_spool
    expect_sink $((before + 1))
}
# write_chunk_reads UID MIB - the statements the service runs for the attachment, for the client.
write_chunk_reads() {
    {
        echo "SELECT Nome FROM objectos_id WHERE UID = '$1';"
        seq 1 $(($2 + 1)) | sed "s/.*/SELECT package FROM ficheiros WHERE (UID = '$1') AND (ID = &);/"
    } >"$work/data/$1.read.sql"
}

if [ -n "$shipped_sizes" ]; then
    step "2a. large attachment with ficheiros without any index, one run per size"
    sql -e "ALTER TABLE ficheiros DROP INDEX ficheiros_chunk"
    for s in $shipped_sizes; do
        load_object "plain$s" "$s"
        write_chunk_reads "plain$s" "$s"
        deliver_attachment "plain$s.service" "plain$s"
        measure "plain$s.read" "${mariadb_cmd[@]}" --raw <"$work/data/plain$s.read.sql" >/dev/null
        say "$s MiB: service $(last "plain$s.service" 1) s (peak RSS $(last "plain$s.service" 4) KiB)," \
            "mariadb client reading the chunks $(last "plain$s.read" 1) s, load $(last "plain$s.service" 5)"
        sql -e "DELETE FROM ficheiros; DELETE FROM objectos_id"
        rm -f "$work/data/plain$s.bin"
    done
fi

if [ -n "$attachment_sizes" ]; then
    step "2b. large attachment, ficheiros indexed on (UID, ID) as sql/schema.sql creates it, $runs runs"
    if [ -n "$shipped_sizes" ]; then sql -e "ALTER TABLE ficheiros ADD KEY ficheiros_chunk (UID, ID)"; fi
    for s in $attachment_sizes; do
        load_object "att$s" "$s"
        write_chunk_reads "att$s" "$s"
    done
    rm -f "$work/data/random.bin"
    say "stored: $(sql -e "SELECT CONCAT(COUNT(*), ' chunks, ', ROUND(SUM(LENGTH(package)) / $kMiB), ' MiB') FROM ficheiros")"

    for run in $(seq "$runs"); do
        for s in $attachment_sizes; do
            deliver_attachment "att$s.service" "att$s"
            measure "att$s.b64" base64 -w 76 "$work/data/att$s.bin" >/dev/null
            measure "att$s.read" "${mariadb_cmd[@]}" --raw <"$work/data/att$s.read.sql" >/dev/null
            say "run $run, $s MiB: service $(last "att$s.service" 1) s (peak RSS $(last "att$s.service" 4) KiB)," \
                "base64 $(last "att$s.b64" 1) s, mariadb client reading the chunks $(last "att$s.read" 1) s," \
                "ratio $(calc %.2f "$(last "att$s.service" 1) / ($(last "att$s.b64" 1) + $(last "att$s.read" 1))")," \
                "load $(last "att$s.service" 5)"
        done
    done

    say ""
    first_size=""
    for s in $attachment_sizes; do
        svc=$(median "att$s.service" 1); b64=$(median "att$s.b64" 1); rd=$(median "att$s.read" 1)
        rss=$(median "att$s.service" 4)
        ratio=$(calc %.2f "$svc / ($b64 + $rd)")
        say "$s MiB medians: service $svc s (user $(median "att$s.service" 2) s, sys $(median "att$s.service" 3) s)," \
            "base64 $b64 s, chunk reading $rd s; ratio $ratio (target <= $kAttachmentTarget):" \
            "$(awk -v r="$ratio" -v t="$kAttachmentTarget" 'BEGIN { print (r <= t) ? "met" : "missed" }')"
        say "$s MiB peak RSS: $rss KiB = $(calc %.1f "$rss / 1024") MiB" \
            "(target <= $((kRssTargetKiB / 1024)) MiB: $(awk -v r="$rss" -v t="$kRssTargetKiB" 'BEGIN { print (r <= t) ? "met" : "missed" }'))"
        if [ -z "$first_size" ]; then
            first_size=$s; first_rss=$rss
        else
            growth=$(calc %.3f "$rss / $first_rss")
            say "$s MiB vs $first_size MiB peak RSS: x$growth (target <= x$kRssGrowthTarget):" \
                "$(awk -v r="$growth" -v t="$kRssGrowthTarget" 'BEGIN { print (r <= t) ? "met" : "missed" }')"
        fi
    done

    set -- $attachment_sizes
    queue_attachment_message "att$1"
    strace -f -c -o "$work/attachment.strace" "${service[@]}"
    expect_empty_spool
    say ""
    say "system calls of one $1 MiB delivery (strace -c -f, not timed):"
    awk '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ { printf "  %-12s %8d\n", $NF, $4 }' \
        "$work/attachment.strace" | sort -k2 -g -r | head -n 8
fi
fi

source "$repo/bench/speed.sh"

step "done"
say "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
