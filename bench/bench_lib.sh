# Shell helpers the load scripts share (source it): a free loopback port,
# Debian's nginx serving a folder as the reference server, and the CPU
# ticks of a set of processes.

# bench_setup NAME: a scratch folder $WORK (gone on exit) with the
# application folder $APP (its xAP settings on loopback) and nginx's folder
# $WEB; on exit the daemon $DAEMON and that nginx are stopped.
bench_setup() {
  WORK="$(mktemp -d "/tmp/tagvane-$1-XXXXXX")"
  APP="$WORK/app"
  WEB="$WORK/nginx"
  trap bench_cleanup EXIT
  mkdir -p "$APP/Config" "$WEB/root"
  printf '[Interface]\r\nBroadcastAddress=127.255.255.255\r\nInterfaceAddress=127.0.0.1\r\n' \
    > "$APP/Config/qbxXap.ini"
}
bench_cleanup() {
  [[ -n "${DAEMON:-}" ]] && kill "$DAEMON" 2>/dev/null || true
  [[ -f "$WEB/nginx.pid" ]] && kill "$(cat "$WEB/nginx.pid")" 2>/dev/null || true
  sleep 0.2
  rm -rf "$WORK"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# start_nginx DIR PORT: serves DIR/root on 127.0.0.1:PORT with one worker;
# the pid file is DIR/nginx.pid.
start_nginx() {
  local dir="$1" port="$2"
  cat > "$dir/nginx.conf" <<NGX
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  default_type text/html;
  server {
    listen 127.0.0.1:$port;
    root $dir/root;
    location / { try_files \$uri =404; }
  }
}
NGX
  nginx -p "$dir" -c "$dir/nginx.conf"
  sleep 0.3
}

# nginx_pids DIR: the master and its workers.
nginx_pids() {
  local master
  master="$(cat "$1/nginx.pid")"
  echo "$master $(cat "/proc/$master/task/$master/children")"
}

# cpu_ticks PID...: user plus system clock ticks used so far.
cpu_ticks() {
  local total=0 pid f
  for pid in "$@"; do
    read -r -a f <<< "$(sed 's/^.*) //' "/proc/$pid/stat")"
    total=$((total + f[11] + f[12]))
  done
  echo "$total"
}

# cpu_per_request SECONDS URL PID...: microseconds of CPU (user plus
# system, of all the PIDs) per request across one wrk run with
# "Connection: close", since the daemon closes after every answer.
cpu_per_request() {
  local secs="$1" url="$2" before after n
  shift 2
  before="$(cpu_ticks "$@")"
  n="$(wrk -t1 -c8 -d"${secs}s" -H "Connection: close" "$url" | awk '/requests in/ {print $1}')"
  after="$(cpu_ticks "$@")"
  python3 -c "print(f'{($after - $before) * 1e6 / $(getconf CLK_TCK) / $n:.1f}')"
}

# cpu_per_request_keepalive SECONDS URL PID...: the same over keep-alive
# connections (wrk's default).
cpu_per_request_keepalive() {
  local secs="$1" url="$2" before after n
  shift 2
  before="$(cpu_ticks "$@")"
  n="$(wrk -t1 -c8 -d"${secs}s" "$url" | awk '/requests in/ {print $1}')"
  after="$(cpu_ticks "$@")"
  python3 -c "print(f'{($after - $before) * 1e6 / $(getconf CLK_TCK) / $n:.2f}')"
}

ratio() { python3 -c "print(f'{float($1)/float($2):.2f}')"; }
