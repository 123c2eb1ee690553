#!/bin/bash
# The local Firebird server for tests and the demo (127.0.0.1:3050).
#   start  start fbguard as user firebird unless the server already runs, wait
#          until 127.0.0.1:3050 accepts, make sure SYSDBA's password is the
#          program's default, print the server's pid (the guard's child)
#   stop   stop the server started here, by the guard's process id
#   pid    print the pid of the running server process (empty when none)
#   dir    print (and create) the directory for server-side test databases,
#          owned by the firebird user
set -euo pipefail
# The server and the tools below read the installed configuration, whatever
# FIREBIRD a calling process left in the environment (a program that loaded
# the client library points it at its shared-mode directory).
unset FIREBIRD

PASSWORD="quietlamp"
RUN_DIR=/run/firebird3.0
GUARD_PIDFILE=$RUN_DIR/velmora-fbguard.pid    # written here: the guard
SERVER_PIDFILE=$RUN_DIR/velmora-firebird.pid  # written by the guard: its server
SECURITY_DB=/var/lib/firebird/3.0/system/security3.fdb
TEST_DIR=/var/lib/velmora-test
PORT=3050

guard_pid() {
  local pid
  if [[ -f $GUARD_PIDFILE ]]; then
    pid=$(cat "$GUARD_PIDFILE" 2>/dev/null || true)
    if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null && [[ $(cat /proc/"$pid"/comm 2>/dev/null) == fbguard ]]; then
      echo "$pid"
      return 0
    fi
  fi
  return 1
}

server_pid() {
  local guard pid
  guard=$(guard_pid) || return 1
  pid=$(cat "$SERVER_PIDFILE" 2>/dev/null || true)
  if [[ -n $pid ]] && [[ $(cat /proc/"$pid"/comm 2>/dev/null) == firebird ]] &&
     [[ $(awk '{print $4}' /proc/"$pid"/stat 2>/dev/null) == "$guard" ]]; then
    echo "$pid"
    return 0
  fi
  return 1
}

port_open() {
  (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null
}

wait_port() {
  for _ in $(seq 1 300); do
    port_open && return 0
    sleep 0.1
  done
  echo "firebird-server: 127.0.0.1:$PORT does not accept connections" >&2
  return 1
}

as_firebird() {
  if [[ $(id -u) -eq 0 ]]; then
    runuser -u firebird -- "$@"
  else
    "$@"
  fi
}

# Sets SYSDBA's password in the security database through the embedded
# engine; only while no server holds the database open.
set_password_embedded() {
  local out
  out=$(printf "CREATE OR ALTER USER SYSDBA PASSWORD '%s';\nCOMMIT;\n" "$PASSWORD" |
        as_firebird env -u ISC_USER -u ISC_PASSWORD isql-fb -q -user SYSDBA "$SECURITY_DB" 2>&1) || {
    echo "firebird-server: cannot set the SYSDBA password: $out" >&2
    return 1
  }
  if [[ -n $out ]]; then
    echo "firebird-server: cannot set the SYSDBA password: $out" >&2
    return 1
  fi
}

# Sets SYSDBA's password through a running server (such as the system's own
# service) with the password Debian's package recorded at installation.
set_password_remote() {
  local file=/etc/firebird/3.0/SYSDBA.password old check=$TEST_DIR/server-check.fdb sql
  [[ -r $file ]] || return 1
  old=$(. "$file" && echo "${ISC_PASSWORD:-}")
  [[ -n $old ]] || return 1
  make_dir
  if [[ -f $check ]]; then
    sql="CONNECT 'localhost:$check' USER 'SYSDBA' PASSWORD '$old';"
  else
    sql="CREATE DATABASE 'localhost:$check' USER 'SYSDBA' PASSWORD '$old';"
  fi
  printf "%s\nALTER USER SYSDBA PASSWORD '%s';\nCOMMIT;\n" "$sql" "$PASSWORD" |
    env -u ISC_USER -u ISC_PASSWORD isql-fb -q -bail >/dev/null 2>&1 || return 1
  password_ok
}

# True when SYSDBA logs in to the running server with the default password.
# It logs in to a small database of the test directory, created through the
# server the first time.
password_ok() {
  local check=$TEST_DIR/server-check.fdb sql
  make_dir
  if [[ -f $check ]]; then
    sql="CONNECT 'localhost:$check' USER 'SYSDBA' PASSWORD '$PASSWORD';"
  else
    sql="CREATE DATABASE 'localhost:$check' USER 'SYSDBA' PASSWORD '$PASSWORD';"
  fi
  printf "%s\nSELECT 1 FROM RDB\$DATABASE;\n" "$sql" |
    env -u ISC_USER -u ISC_PASSWORD isql-fb -q -bail >/dev/null 2>&1
}

start() {
  mkdir -p "$RUN_DIR"
  chown firebird:firebird "$RUN_DIR" 2>/dev/null || true
  # The lock directory shared by the server and the embedded engine, as the
  # package's tmpfiles rule makes it (gone when /tmp was emptied).
  mkdir -p /tmp/firebird
  chown firebird:firebird /tmp/firebird 2>/dev/null || true
  chmod 0770 /tmp/firebird
  if ! guard_pid >/dev/null; then
    if port_open; then
      echo "firebird-server: port $PORT is in use by a server not started here" >&2
      if ! password_ok && ! set_password_remote; then
        echo "firebird-server: and SYSDBA's password there is not the default" >&2
        return 1
      fi
      echo "firebird-server: using it" >&2
      echo ""
      return 0
    fi
    set_password_embedded
    rm -f "$GUARD_PIDFILE" "$SERVER_PIDFILE"
    # The guard runs in its own session, detached from this shell; its pid is
    # the background job's (setsid and setpriv exec without forking).
    local drop=(setpriv --reuid=firebird --regid=firebird --init-groups)
    [[ $(id -u) -eq 0 ]] || drop=()
    setsid "${drop[@]}" \
      /usr/sbin/fbguard -pidfile "$SERVER_PIDFILE" -forever </dev/null >/dev/null 2>&1 &
    echo $! >"$GUARD_PIDFILE"
  fi
  wait_port
  if ! password_ok; then
    echo "firebird-server: SYSDBA does not log in with the default password" >&2
    return 1
  fi
  local pid=""
  for _ in $(seq 1 100); do
    pid=$(server_pid) && break
    sleep 0.1
  done
  echo "$pid"
}

stop() {
  local guard
  guard=$(guard_pid) || return 0
  # The guard stops its server when it ends.
  kill -TERM "$guard"
  for _ in $(seq 1 200); do
    kill -0 "$guard" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$guard" 2>/dev/null && kill -KILL "$guard"
  rm -f "$GUARD_PIDFILE" "$SERVER_PIDFILE"
  for _ in $(seq 1 100); do
    port_open || return 0
    sleep 0.1
  done
}

make_dir() {
  mkdir -p "$TEST_DIR"
  chown firebird:firebird "$TEST_DIR"
  chmod 0770 "$TEST_DIR"
}

dir() {
  make_dir
  echo "$TEST_DIR"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  pid) server_pid || true ;;
  dir) dir ;;
  *) echo "usage: $0 start|stop|pid|dir" >&2; exit 2 ;;
esac
