#!/usr/bin/env bash
# private-mariadb.sh start|stop DIR [secure]
#
# A private MariaDB server for the tests and the demo, living entirely in DIR: its data directory,
# socket, pid file and log. It listens on 127.0.0.1 on a free port and never reads or touches a
# system-wide MariaDB configuration (--no-defaults everywhere).
#
# start: creates the server (a stale DIR is cleaned first), waits until it answers, creates the
#        database `tessel` with the service's tables (sql/schema.sql), the user `tessel` and an
#        administrative user, and writes DIR/env (shell-style NAME=value lines). Starting a server
#        that is already running and answering does nothing.
#        secure: the server's certificate is issued by a private CA made in DIR (DIR/ca.pem, named
#        TLS_CA in DIR/env) for 127.0.0.1 and localhost, and TCP clients must use TLS
#        (require_secure_transport); the Unix socket stays open for the set-up.
# stop:  shuts the server down and removes DIR.
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR [secure]" >&2; exit 64; }
[ $# -eq 2 ] || [ $# -eq 3 ] || usage
action=$1
dir=$2
secure=${3:-}
case "$secure" in ""|secure) ;; *) usage ;; esac
case "$dir" in /*) ;; *) dir="$(pwd)/$dir" ;; esac
dir="${dir%/}"
# DIR is removed whole by stop: refuse anything that could be a system directory.
case "$dir" in ""|/|/usr|/usr/*|/etc|/etc/*|/var/lib/mysql*|/bin|/lib|/home|/root) usage ;; esac

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
schema="$script_dir/../sql/schema.sql"

readonly kStartWaitSeconds=90
readonly kStopWaitSeconds=60
# A Unix socket path must fit into sockaddr_un (108 bytes including the terminator).
readonly kSocketPathMax=100

log() { echo "private-mariadb: $*" >&2; }

# server_pid - the pid from DIR's pid file when that process is alive, else nothing.
server_pid() {
    local pidfile="$dir/mariadb.pid" pid
    [ -f "$pidfile" ] || return 0
    pid=$(cat "$pidfile" 2>/dev/null || true)
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then echo "$pid"; fi
}

# answers - true when the server of DIR/env answers a ping as the administrative user.
answers() {
    [ -f "$dir/env" ] || return 1
    # shellcheck disable=SC1091
    (. "$dir/env" && mariadb-admin --no-defaults --protocol=tcp --host="$HOST" --port="$PORT" \
        ${CLIENT_TLS:-} --user="$ADMIN_USER" --password="$ADMIN_PASSWORD" --connect-timeout=5 ping \
        >/dev/null 2>&1)
}

stop_server() {
    local pid waited=0
    pid=$(server_pid)
    [ -n "$pid" ] || return 0
    if [ -f "$dir/env" ]; then
        (. "$dir/env" && mariadb-admin --no-defaults --protocol=tcp --host="$HOST" --port="$PORT" \
            ${CLIENT_TLS:-} --user="$ADMIN_USER" --password="$ADMIN_PASSWORD" --connect-timeout=5 \
            shutdown >/dev/null 2>&1) || true
    fi
    kill -TERM "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null; do
        if [ "$waited" -ge "$kStopWaitSeconds" ]; then
            log "server $pid did not stop; killing it"
            kill -KILL "$pid" 2>/dev/null || true
            break
        fi
        sleep 1
        waited=$((waited + 1))
    done
}

remove_dir() {
    if [ -f "$dir/socket-dir" ]; then rm -rf "$(cat "$dir/socket-dir")"; fi
    rm -rf "$dir"
}

# make_issued_certificate - a private CA (DIR/ca.pem) and the server's certificate it issued for
# IP 127.0.0.1 and DNS localhost.
make_issued_certificate() {
    (
        cd "$dir" &&
        openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj "/CN=Private Test CA" \
            -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
            -keyout ca-key.pem -out ca.pem &&
        openssl req -new -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 \
            -keyout server-key.pem -out server.csr &&
        printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n' >server.ext &&
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca-key.pem -CAcreateserial -days 7 \
            -extfile server.ext -out server-cert.pem
    ) >"$dir/openssl.log" 2>&1
}

free_port() {
    /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

random_password() { head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n'; }

# launch_server PORT SOCKET - starts the daemon in the background.
launch_server() {
    # The daemon gets no terminal and no inherited pipes, so that a caller (ctest) does not wait on it.
    setsid mariadbd --no-defaults "${as_user[@]}" --datadir="$dir/data" --tmpdir="$dir/tmp" \
        --bind-address=127.0.0.1 --port="$1" --socket="$2" --pid-file="$dir/mariadb.pid" \
        --log-error="$dir/error.log" --skip-name-resolve --skip-log-bin \
        --character-set-server=latin1 --collation-server=latin1_swedish_ci \
        --innodb-buffer-pool-size=64M --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 \
        --ssl-cert="$dir/server-cert.pem" --ssl-key="$dir/server-key.pem" "${secure_options[@]}" \
        --max-connections=200 </dev/null >/dev/null 2>&1 &
}

# wait_until_answering SOCKET - true once the server answers on its socket; false when it gave up
# binding its port, or after kStartWaitSeconds.
wait_until_answering() {
    local waited=0
    until mariadb-admin --no-defaults --socket="$1" --user=root --connect-timeout=2 ping \
            >/dev/null 2>&1; do
        if grep -q "Bind on TCP/IP port" "$dir/error.log" 2>/dev/null; then return 1; fi
        if [ "$waited" -ge "$kStartWaitSeconds" ]; then return 1; fi
        sleep 1
        waited=$((waited + 1))
    done
}

start() {
    if [ -n "$(server_pid)" ] && answers; then
        log "already running in $dir"
        return 0
    fi
    stop_server
    remove_dir
    mkdir -p "$dir/data"

    local socket="$dir/mariadb.sock"
    if [ ${#socket} -gt $kSocketPathMax ]; then
        local sockdir
        sockdir=$(mktemp -d /tmp/tessel-mariadb-XXXXXX)
        echo "$sockdir" >"$dir/socket-dir"
        socket="$sockdir/mariadb.sock"
    fi

    local -a as_user=()
    if [ "$(id -u)" -eq 0 ]; then as_user=(--user=root); fi

    # A temporary directory of its own: two servers set up at once must not share /tmp's names.
    mkdir -p "$dir/tmp"
    mariadb-install-db --no-defaults --datadir="$dir/data" --tmpdir="$dir/tmp" \
        --auth-root-authentication-method=normal \
        --skip-test-db --skip-name-resolve "${as_user[@]}" >"$dir/install.log" 2>&1 || {
        log "mariadb-install-db failed:"; cat "$dir/install.log" >&2; exit 1; }

    # The server offers TLS, so that tests can show that the service's client takes it up only when
    # configured to.
    local -a secure_options=()
    if [ -n "$secure" ]; then
        make_issued_certificate || {
            log "openssl could not make the server's certificates:"; cat "$dir/openssl.log" >&2; exit 1; }
        secure_options=(--require-secure-transport=ON)
    else
        openssl req -x509 -newkey rsa:2048 -nodes -days 7 -subj /CN=127.0.0.1 \
            -keyout "$dir/server-key.pem" -out "$dir/server-cert.pem" >"$dir/openssl.log" 2>&1 || {
            log "openssl could not make the server's certificate:"; cat "$dir/openssl.log" >&2; exit 1; }
    fi

    # A free port is only free until somebody binds it: another server set up at the same moment
    # (a parallel test run, the package test) may take it first. Then another port is tried.
    local port attempt
    for attempt in 1 2 3 4 5; do
        port=$(free_port)
        : >"$dir/error.log"
        launch_server "$port" "$socket"
        if wait_until_answering "$socket"; then break; fi
        if ! grep -q "Bind on TCP/IP port" "$dir/error.log" || [ "$attempt" -eq 5 ]; then
            log "server did not answer within ${kStartWaitSeconds}s:"
            tail -n 30 "$dir/error.log" >&2 || true
            exit 1
        fi
        log "port $port was taken meanwhile; trying another"
        stop_server
    done

    local password admin_password
    password=$(random_password)
    admin_password=$(random_password)
    mariadb --no-defaults --socket="$socket" --user=root <<SQL
CREATE DATABASE IF NOT EXISTS tessel CHARACTER SET latin1;
CREATE USER 'tessel'@'%' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON \`tessel\`.* TO 'tessel'@'%';
-- Tests that need a database of their own name it tessel_<something>.
GRANT ALL PRIVILEGES ON \`tessel\\_%\`.* TO 'tessel'@'%';
GRANT PROCESS, CONNECTION ADMIN ON *.* TO 'tessel'@'%';
CREATE USER 'tessel_admin'@'%' IDENTIFIED BY '$admin_password';
GRANT ALL PRIVILEGES ON *.* TO 'tessel_admin'@'%' WITH GRANT OPTION;
FLUSH PRIVILEGES;
SQL
    mariadb --no-defaults --socket="$socket" --user=root tessel <"$schema"

    cat >"$dir/env" <<ENV
HOST=127.0.0.1
PORT=$port
DATABASE=tessel
USER=tessel
PASSWORD=$password
SOCKET=$socket
ADMIN_USER=tessel_admin
ADMIN_PASSWORD=$admin_password
PID_FILE=$dir/mariadb.pid
SCHEMA=$(cd "$(dirname "$schema")" && pwd)/schema.sql
ENV
    if [ -n "$secure" ]; then
        printf 'TLS_CA=%s\nCLIENT_TLS=--ssl\n' "$dir/ca.pem" >>"$dir/env"
    fi
    log "running on 127.0.0.1:$port (pid $(server_pid)), settings in $dir/env"
}

stop() {
    stop_server
    remove_dir
    log "stopped; $dir removed"
}

case "$action" in
    start) start ;;
    stop) stop ;;
    *) usage ;;
esac
