# bench/speed.sh - part of bench/run.sh (sourced by it, after parts 1 and 2; uses its helpers):
#   3. queue scale: BENCH_SCALE_ROWS queued rows of 2 KiB, one drain each: wall, msg/s, CPU per
#      message, peak RSS, and how soon the first message leaves (a drain against a closed port,
#      which ends at the first connect, less the same run with an empty queue: process start,
#      database connect, settings and exit);
#   4. one row with a BENCH_BODY_MIB MiB body (Texto widened to LONGTEXT for it): wall, peak RSS;
#   5. a long network path: bench/delay_proxy.cpp (RTT BENCH_WAN_RTT_MS, each direction delayed by
#      half, order kept) in front of smtp-sink and of bench/smtp_tls_sink.cpp: the service's default
#      dialogue plain and with STARTTLS + AUTH, and with email.reuse = 100, beside smtp-source -s 1
#      (a connection per message) and smtp-source -d (one connection) through the same proxy;
#   6. TLS CPU per message on loopback (STARTTLS + AUTH into bench/smtp_tls_sink.cpp, no proxy).

set_config() {
    sql -e "DELETE FROM configs WHERE Propriedade = '$1'; INSERT INTO configs (Propriedade, Valor) VALUES ('$1', '$2')"
}
# queue_rows COUNT LINES - COUNT one-recipient rows whose body is LINES lines of 64 bytes.
queue_rows() {
    sql -e "INSERT INTO mail_spooler (Remetente, Destinatario, Assunto, Texto, Anexos)
            SELECT 'Bench <bench@tessel.test>', CONCAT('rcpt', seq, '@tessel.test'),
                   CONCAT('Bench message ', seq), REPEAT(CONCAT('$kBodyLine', '\r\n'), $2), ''
            FROM seq_1_to_$1"
}
mib() { calc %.1f "$1 / 1024"; }
verdict() { awk -v r="$1" -v t="$2" -v op="$3" 'BEGIN { ok = (op == "le") ? (r <= t) : (r >= t); print ok ? "met" : "missed" }'; }

# admin_sql SQL - one statement as the server's administrator.
admin_sql() {
    mariadb --no-defaults --protocol=tcp --host="$DB_HOST" --port="$DB_PORT" --user="$DB_ADMIN_USER" \
        --password="$DB_ADMIN_PASSWORD" --batch --skip-column-names -e "$1"
}
# buffer_pool BYTES - resizes InnoDB's buffer pool and waits until the server has done so.
buffer_pool() {
    admin_sql "SET GLOBAL innodb_buffer_pool_size = $1"
    local status
    for _ in $(seq 300); do
        status=$(admin_sql "SHOW STATUS LIKE 'Innodb_buffer_pool_resize_status'" | cut -f2)
        if [ "$(admin_sql "SELECT @@innodb_buffer_pool_size")" -eq "$1" ]; then
            case "$status" in ""|Completed*|*"did not change"*) return ;; esac
        fi
        sleep 0.1
    done
    die "the buffer pool did not become $1 bytes"
}

if part scale && [ -n "$scale_rows" ]; then
    step "3. queue scale: rows of 2 KiB (32 lines), one drain per size"
    # The largest queue (some 450 MiB of rows at 200,000) stays in the server's memory, as on a
    # production server: in the test server's 64 MiB the drain would measure its disk cache.
    buffer_pool $((scale_pool_mib * kMiB))
    say "InnoDB buffer pool: $scale_pool_mib MiB for this part"
    closed_port=$(free_port)
    # closed_port_run - the median wall time of three --once runs against the closed port.
    closed_port_run() {
        set_config email.porta "$closed_port"
        for _ in 1 2 3; do
            t0=$(date +%s%N)
            "${service[@]}" >/dev/null 2>&1 || true
            t1=$(date +%s%N)
            awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f\n", (b - a) / 1e9 }'
        done | sort -g | sed -n 2p
        set_config email.porta "$sink_port"
    }
    sql -e "DELETE FROM mail_spooler"
    empty_run=$(closed_port_run)
    say "a run with an empty queue (start, connect, settings, exit): $empty_run s"
    first_rate=""
    for n in $scale_rows; do
        sql -e "DELETE FROM mail_spooler"
        queue_rows "$n" 32
        # How soon the first message leaves: the same queue against a port where nothing listens;
        # the drain gives up at its first connect, so the run lasts until the first message.
        whole=$(closed_port_run)
        first=$(calc %.3f "$whole - $empty_run")
        [ "$(spool_rows)" -eq "$n" ] || die "the closed-port run removed rows"

        before=$(sink_messages)
        measure "scale$n" "${service[@]}"
        expect_empty_spool
        expect_sink $((before + n))
        wall=$(last "scale$n" 1)
        rate=$(calc %.0f "$n / $wall")
        cpu_us=$(calc %.0f "($(last "scale$n" 2) + $(last "scale$n" 3)) * 1e6 / $n")
        rss=$(last "scale$n" 4)
        say "$n rows: wall $wall s, $rate msg/s, CPU $cpu_us µs/message, peak RSS $(mib "$rss") MiB," \
            "first message $first s after the cycle starts ($whole s from the process start), load $(last "scale$n" 5)"
        [ -n "$first_rate" ] || first_rate=$rate
        last_n=$n; last_rate=$rate; last_rss=$rss; last_first=$first
    done
    say ""
    say "msg/s at $last_n rows / msg/s at the first size: $(calc %.2f "$last_rate / $first_rate") (target >= 0.9):" \
        "$(verdict "$(calc %.3f "$last_rate / $first_rate")" 0.9 ge)"
    say "peak RSS at $last_n rows: $(mib "$last_rss") MiB (target <= 32 MiB): $(verdict "$last_rss" 32768 le)"
    say "first message at $last_n rows: $last_first s after the cycle starts (target <= 0.1 s): $(verdict "$last_first" 0.1 le)"
    sql -e "DELETE FROM mail_spooler"
    buffer_pool $((64 * kMiB))
fi

if part body; then
    step "4. one row with a $body_mib MiB body, $runs runs"
    admin_sql "SET GLOBAL max_allowed_packet = 1073741824"
    sql -e "DELETE FROM mail_spooler; ALTER TABLE mail_spooler MODIFY Texto LONGTEXT NULL"
    body_lines=$((body_mib * kMiB / 64))
    for run in $(seq "$runs"); do
        queue_rows 1 "$body_lines"
        [ "$(sql -e "SELECT LENGTH(Texto) FROM mail_spooler")" -eq $((body_mib * kMiB)) ] || die "body not stored"
        before=$(sink_messages)
        measure body "${service[@]}"
        expect_empty_spool
        expect_sink $((before + 1))
        say "run $run: wall $(last body 1) s, peak RSS $(mib "$(last body 4)") MiB, load $(last body 5)"
    done
    rss=$(median body 4)
    say "median: wall $(median body 1) s, peak RSS $(mib "$rss") MiB = body + $(calc %.1f "$rss / 1024 - $body_mib") MiB" \
        "(target <= body + 32 MiB): $(verdict "$rss" $(((body_mib + 32) * 1024)) le)"
    sql -e "DELETE FROM mail_spooler; ALTER TABLE mail_spooler MODIFY Texto TEXT NULL"
fi

if part wan || part tls; then
    step "TLS sink and delay proxies"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
        -subj /CN=localhost -days 2 >/dev/null 2>&1 || die "cannot make a certificate"
    tls_port=$(free_port)
    "$work/bin/smtp_tls_sink" "$tls_port" "$work/cert.pem" "$work/key.pem" \
        >"$work/tls_sink.out" 2>"$work/tls_sink.err" &
    helper_pids+=($!)
    plain_proxy=$(free_port)
    "$work/bin/delay_proxy" "$plain_proxy" "$sink_port" "$wan_rtt_ms" \
        >"$work/proxy1.out" 2>&1 &
    helper_pids+=($!)
    tls_proxy=$(free_port)
    "$work/bin/delay_proxy" "$tls_proxy" "$tls_port" "$wan_rtt_ms" \
        >"$work/proxy2.out" 2>&1 &
    helper_pids+=($!)
    for f in tls_sink.out proxy1.out proxy2.out; do
        for _ in $(seq 50); do grep -q ready "$work/$f" && break; sleep 0.1; done
        grep -q ready "$work/$f" || die "$f: not ready"
    done
    tls_sink_messages() { grep -o 'mesg=[0-9]*' "$work/tls_sink.out" | tail -n 1 | cut -d= -f2 | grep . || echo 0; }
    expect_tls_sink() {
        local waited=0
        while [ "$(tls_sink_messages)" -lt "$1" ]; do
            [ "$waited" -lt $((kSinkWaitSeconds * 10)) ] || die "TLS sink counted $(tls_sink_messages), expected $1"
            sleep 0.1; waited=$((waited + 1))
        done
    }
    say "smtp_tls_sink on $tls_port; delay proxies $plain_proxy -> smtp-sink, $tls_proxy -> TLS sink"

    # service_run NAME COUNT PORT TLS REUSE - COUNT queued messages through the service at PORT.
    service_run() {
        local name=$1 n=$2 port=$3 tls=$4 reuse=$5 before
        set_config email.porta "$port"
        set_config email.ssl "$tls"
        set_config email.user "$([ "$tls" = 1 ] && echo bench || true)"
        set_config email.pass "$([ "$tls" = 1 ] && echo secret || true)"
        set_config email.reuse "$reuse"
        queue_rows "$n" 16
        local to_tls=0
        if [ "$port" = "$tls_port" ] || [ "$port" = "$tls_proxy" ]; then to_tls=1; fi
        if [ "$to_tls" = 1 ]; then before=$(tls_sink_messages); else before=$(sink_messages); fi
        measure "$name" "${service[@]}"
        expect_empty_spool
        if [ "$to_tls" = 1 ]; then expect_tls_sink $((before + n)); else expect_sink $((before + n)); fi
    }
    restore_config() {
        set_config email.porta "$sink_port"; set_config email.ssl 0; set_config email.user ""
        set_config email.pass ""; set_config email.reuse ""
    }
fi

if part wan; then
    step "5. a long network path: RTT $wan_rtt_ms ms, $wan_messages messages per run (3x with reuse), $runs runs"
    reuse_messages=$((wan_messages * 3))
    # Every run measures all six contenders one after the other, so that a ratio compares figures
    # taken at nearly the same moment; the medians over the runs are reported.
    for run in $(seq "$runs"); do
        service_run wan.plain "$wan_messages" "$plain_proxy" 0 ""
        service_run wan.tls "$wan_messages" "$tls_proxy" 1 ""
        service_run wan.reuse "$reuse_messages" "$plain_proxy" 0 100
        service_run wan.reusetls "$reuse_messages" "$tls_proxy" 1 100
        restore_config
        before=$(sink_messages)
        measure wan.source env LD_LIBRARY_PATH="$pfx_lib" "$source_bin" -s 1 -m "$wan_messages" \
            -l "$kMessageBytes" -f bench@tessel.test -t rcpt@tessel.test "127.0.0.1:$plain_proxy"
        expect_sink $((before + wan_messages))
        before=$(sink_messages)
        measure wan.sourced env LD_LIBRARY_PATH="$pfx_lib" "$source_bin" -s 1 -d -m "$reuse_messages" \
            -l "$kMessageBytes" -f bench@tessel.test -t rcpt@tessel.test "127.0.0.1:$plain_proxy"
        expect_sink $((before + reuse_messages))
        say "run $run (load $(last wan.plain 5)): round trips a message:" \
            "default plain $(calc %.2f "$(last wan.plain 1) * 1000 / ($wan_messages * $wan_rtt_ms)")," \
            "STARTTLS + AUTH $(calc %.2f "$(last wan.tls 1) * 1000 / ($wan_messages * $wan_rtt_ms)")," \
            "reuse plain $(calc %.2f "$(last wan.reuse 1) * 1000 / ($reuse_messages * $wan_rtt_ms)")," \
            "reuse TLS $(calc %.2f "$(last wan.reusetls 1) * 1000 / ($reuse_messages * $wan_rtt_ms)")," \
            "smtp-source -s 1 $(calc %.2f "$(last wan.source 1) * 1000 / ($wan_messages * $wan_rtt_ms)")," \
            "smtp-source -d $(calc %.2f "$(last wan.sourced 1) * 1000 / ($reuse_messages * $wan_rtt_ms)")"
    done
    say ""
    # wan_line NAME COUNT LABEL - median msg/s, round trips and CPU per message of NAME.
    wan_line() {
        local wall
        wall=$(median "$1" 1)
        say "$(printf '%-42s' "$3"): $2 messages in $wall s = $(calc %.1f "$2 / $wall") msg/s," \
            "$(calc %.2f "$wall * 1000 / ($2 * $wan_rtt_ms)") round trips a message," \
            "CPU $(calc %.2f "($(median "$1" 2) + $(median "$1" 3)) * 1000 / $2") ms/message"
    }
    say "medians:"
    wan_line wan.plain "$wan_messages" "service, default, plain"
    wan_line wan.tls "$wan_messages" "service, default, STARTTLS + AUTH"
    wan_line wan.reuse "$reuse_messages" "service, email.reuse=100, plain"
    wan_line wan.reusetls "$reuse_messages" "service, email.reuse=100, STARTTLS + AUTH"
    wan_line wan.source "$wan_messages" "smtp-source -s 1"
    wan_line wan.sourced "$reuse_messages" "smtp-source -d"
    say ""
    rt() { calc %.3f "$(median "$1" 1) * 1000 / ($2 * $wan_rtt_ms)"; }
    rate() { calc %.3f "$2 / $(median "$1" 1)"; }
    # smtp-source -s 1 waits for exactly 7 replies a message (greeting, HELO, MAIL, RCPT, DATA, end
    # of data, QUIT): what it takes beyond 7 is this machine's delay on top of the path's.
    say "smtp-source -s 1: $(rt wan.source "$wan_messages") round trips for its 7 (the proxy's and sinks' own delay on this machine)"
    say "default plain: $(rt wan.plain "$wan_messages") round trips (target <= 6.2): $(verdict "$(rt wan.plain "$wan_messages")" 6.2 le)"
    say "default STARTTLS + AUTH: $(rt wan.tls "$wan_messages") round trips (target <= 12.5): $(verdict "$(rt wan.tls "$wan_messages")" 12.5 le)"
    for r in wan.reuse wan.reusetls; do
        ratio=$(calc %.2f "$(rate "$r" "$reuse_messages") / $(rate wan.sourced "$reuse_messages")")
        say "$r: $(rt "$r" "$reuse_messages") round trips (target <= 2.2): $(verdict "$(rt "$r" "$reuse_messages")" 2.2 le);" \
            "x$ratio the msg/s of smtp-source -d (target >= 1.8): $(verdict "$ratio" 1.8 ge)"
    done
fi

if part tls; then
    step "6. TLS CPU per message on loopback: $tls_messages messages, STARTTLS + AUTH, a session each"
    service_run tlscpu "$tls_messages" "$tls_port" 1 ""
    service_run plaincpu "$tls_messages" "$tls_port" 0 ""
    restore_config
    tls_ms=$(calc %.3f "($(last tlscpu 2) + $(last tlscpu 3)) * 1000 / $tls_messages")
    say "STARTTLS + AUTH: wall $(last tlscpu 1) s, CPU $tls_ms ms/message; plain to the same sink:" \
        "CPU $(calc %.3f "($(last plaincpu 2) + $(last plaincpu 3)) * 1000 / $tls_messages") ms/message"
    say "TLS CPU per message: $tls_ms ms (target <= 3 ms): $(verdict "$tls_ms" 3 le)"
fi
