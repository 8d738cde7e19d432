#!/usr/bin/env bash
# Measures Trabix against the physical limit of this machine (direct to the backend) and
# against the relays users would pick instead (socat in fork mode, rinetd, haproxy in TCP
# mode with and without splice). All traffic stays on 127.0.0.1 and ::1; every port is chosen
# free at run time; every process started here is stopped by its PID at the end.
#
#   bench/run.sh                 full run (under 10 minutes on 2 cores)
#   BENCH_QUICK=1 bench/run.sh   smoke run: one round, small volumes, short phases
#
# Knobs (environment): RUNS (rounds for the median, default 2), BENCH_BYTES (bytes per
# throughput row, default 2000000000), BENCH_MAX_SECONDS (time cap of one throughput row,
# default 5), BENCH_TARGETS (subset of: direct trabix-relay trabix-ipv6 trabix-capture
# trabix-inspect socat rinetd haproxy haproxy-splice), BENCH_LEVELS (held connections, default
# 1000,4000,8000), BENCH_SHAPE_SECONDS (default 10), BENCH_PHASES (subset of: targets shaping
# stall stall-capture conditions redis api tls; api: the control API under load, bench/api/),
# BENCH_WORKLOADS (what the targets phase measures, subset of: tput latency cps burst rr hold),
# BENCH_RR_CONNS (connections of the request/response rows, default 1 8 50 200; the
# pipelined row always uses 50), BENCH_RR_SECONDS (measured seconds per row, default 3),
# BENCH_STALL_HOLD (connections held open during the stall-capture phase, default 5000),
# BENCH_BUILD (build folder, default build-bench),
# TRABIX_BIN (the program; default: the one built in the build folder),
# BENCH_REDIS_TARGETS (relays in front of redis-server in the redis phase, default: direct
# haproxy trabix-relay, and trabix-baseline when there is one), BENCH_REDIS_REQUESTS (GET
# requests per row, default 100000),
# TRABIX_BASELINE_BIN (an earlier build of the program: adds the target trabix-baseline, the
# relay-only configuration run with it, to compare before and after in one run).
# Output: the table on standard output and in bench/results/<time>.md, the raw lines beside it.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${BENCH_QUICK:-0}" = 1 ]; then
  RUNS=${RUNS:-1}; BENCH_BYTES=${BENCH_BYTES:-200000000}; BENCH_LEVELS=${BENCH_LEVELS:-1000}
  BENCH_SHAPE_SECONDS=${BENCH_SHAPE_SECONDS:-3}; cps_seconds=2; latency_count=5000
  BENCH_RR_SECONDS=${BENCH_RR_SECONDS:-1}
  burst_rounds=2; conditions_count=200
else
  cps_seconds=5; latency_count=20000; burst_rounds=5; conditions_count=1000
fi
RUNS=${RUNS:-2}
BENCH_BYTES=${BENCH_BYTES:-2000000000}
BENCH_MAX_SECONDS=${BENCH_MAX_SECONDS:-5}
BENCH_LEVELS=${BENCH_LEVELS:-1000,4000,8000}
BENCH_SHAPE_SECONDS=${BENCH_SHAPE_SECONDS:-10}
BENCH_PHASES=${BENCH_PHASES:-targets shaping stall stall-capture conditions api}
BENCH_WORKLOADS=${BENCH_WORKLOADS:-tput latency cps burst rr hold}
BENCH_RR_CONNS=${BENCH_RR_CONNS:-1 8 50 200}
BENCH_RR_SECONDS=${BENCH_RR_SECONDS:-3}
BENCH_STALL_HOLD=${BENCH_STALL_HOLD:-5000}
# The address the client workloads and the program's channels use (the IPv6 target: ::1).
CLIENT_HOST=127.0.0.1 TRABIX_IP=127.0.0.1
BENCH_TARGETS=${BENCH_TARGETS:-direct trabix-relay trabix-ipv6 trabix-capture trabix-inspect socat rinetd haproxy haproxy-splice}
[ -n "${TRABIX_BASELINE_BIN:-}" ] && [[ " $BENCH_TARGETS " != *" trabix-baseline "* ]] \
  && BENCH_TARGETS="${BENCH_TARGETS/trabix-relay/trabix-baseline trabix-relay}"
build=${BENCH_BUILD:-$root/build-bench}

log() { printf '== %s %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# --- dependencies and build ------------------------------------------------------------------

# The load generator must build. The program and the probe come from the tree other people
# are editing: when they do not build right now, the last built ones are used.
build_programs() {
  if [ ! -f "$build/build.ninja" ]; then
    cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || return 1
  fi
  ninja -C "$build" -j2 trabix-load >/dev/null || return 1
  local target
  for target in trabix trabix-stall-probe; do
    ninja -C "$build" -t targets all 2>/dev/null | grep -q "^$target:" || continue
    ninja -C "$build" -j2 "$target" >/dev/null 2>&1 || log "$target did not build: using the last one built"
  done
  return 0
}

"$root/scripts/deps.sh" bench || { echo "could not install the peers" >&2; exit 1; }
build_programs || { echo "build failed" >&2; exit 1; }
load=$build/bench/trabix-load
trabix=${TRABIX_BIN:-$(find "$build/app" -maxdepth 2 -type f -name trabix -perm -u+x 2>/dev/null | head -n 1)}
probe=$(find "$build/bench" -maxdepth 1 -type f -name trabix-stall-probe -perm -u+x 2>/dev/null | head -n 1)

# Relays, backends and held connections need thousands of descriptors; children inherit this.
ulimit -n "$(ulimit -Hn)"

stamp=$(date +%Y%m%d-%H%M%S)
results=$root/bench/results
mkdir -p "$results"
raw=$results/$stamp.raw
scratch=$(mktemp -d /tmp/trabix-bench.XXXXXX)
: >"$raw"

# --- process control -------------------------------------------------------------------------

started=()

# Descendants of a process, by PID (a forking relay leaves one per connection), from one
# scan of the process table.
descendants() {
  ps -e -o pid=,ppid= | awk -v root="$1" '
    { parent[$1] = $2 }
    END {
      want[root] = 1
      do {
        grew = 0
        for (p in parent) if (!(p in want) && (parent[p] in want)) { want[p] = 1; grew = 1 }
      } while (grew)
      for (p in want) if (p != root) print p
    }'
}

# Stops one process and its descendants by PID: SIGTERM, at most 5 s for the exit, then
# SIGKILL. Our own children are reaped with wait.
stop_pid() {
  local pid=$1 kids
  kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
  kids=$(descendants "$pid")
  kill -TERM "$pid" 2>/dev/null
  timeout 5 tail --pid="$pid" -f /dev/null 2>/dev/null
  kill -0 "$pid" 2>/dev/null && { log "PID $pid did not end on SIGTERM: killed"; kill -KILL "$pid" 2>/dev/null; }
  wait "$pid" 2>/dev/null
  [ -n "$kids" ] || return 0
  kill -TERM $kids 2>/dev/null
  for kid in $kids; do
    timeout 5 tail --pid="$kid" -f /dev/null 2>/dev/null
    kill -0 "$kid" 2>/dev/null && kill -KILL "$kid" 2>/dev/null
  done
  return 0
}

cleanup() {
  local pid
  for pid in "${started[@]}"; do stop_pid "$pid"; done
  started=()
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits (bounded) until every given port accepts.
wait_ports() {
  local port
  for port in "$@"; do
    "$load" wait-port --host "$CLIENT_HOST" --port "$port" --seconds 15 || { log "port $port never accepted"; return 1; }
  done
}

free_ports() { "$load" freeport --count "$1"; }

# --- backend and relays ----------------------------------------------------------------------
# Every relay under test runs in a session of its own (setsid keeps the PID here), as a
# service or a desktop program does. With the kernel's autogroup scheduling on, a relay left in
# this script's session would share one group's CPU with the load generator's workers and the
# backend, and its share would follow its thread count rather than its work.
# Each start_* function sets: ECHO SINK SOURCE (ports the client uses), PIDS (started
# processes, stopped afterwards; also added to "started" at once, for the exit trap) and
# MEM_PIDS (whose memory counts, comma separated).

start_backend() {
  local fifo=$scratch/backend.fifo fd line
  mkfifo "$fifo"
  exec {fd}<>"$fifo"
  "$load" serve --max-seconds 3600 >"$fifo" &
  backend_pid=$!
  started+=("$backend_pid")
  read -r -t 10 -u "$fd" line || { log "backend did not start"; return 1; }
  exec {fd}<&-
  read -r _ e s o <<<"$line"
  B_ECHO=${e#echo=}; B_SINK=${s#sink=}; B_SOURCE=${o#source=}
}

start_direct() {
  ECHO=$B_ECHO; SINK=$B_SINK; SOURCE=$B_SOURCE; PIDS=(); MEM_PIDS=""
}

start_socat() {
  read -r ECHO SINK SOURCE <<<"$(free_ports 3)"
  PIDS=()
  local pair
  for pair in "$ECHO:$B_ECHO" "$SINK:$B_SINK" "$SOURCE:$B_SOURCE"; do
    setsid socat "TCP4-LISTEN:${pair%%:*},bind=127.0.0.1,reuseaddr,fork" "TCP4:127.0.0.1:${pair##*:}" \
      2>>"$scratch/socat.err" &
    PIDS+=($!); started+=($!)
  done
  MEM_PIDS=$(IFS=,; echo "${PIDS[*]}")
  wait_ports "$ECHO" "$SINK" "$SOURCE"
}

start_rinetd() {
  read -r ECHO SINK SOURCE <<<"$(free_ports 3)"
  local conf=$scratch/rinetd.conf
  cat >"$conf" <<EOF
127.0.0.1 $ECHO 127.0.0.1 $B_ECHO
127.0.0.1 $SINK 127.0.0.1 $B_SINK
127.0.0.1 $SOURCE 127.0.0.1 $B_SOURCE
EOF
  setsid rinetd -f -c "$conf" >"$scratch/rinetd.out" 2>&1 &
  PIDS=($!); MEM_PIDS=${PIDS[0]}; started+=($!)
  wait_ports "$ECHO" "$SINK" "$SOURCE"
}

# haproxy in TCP mode; with splice, both directions move through kernel pipes.
start_haproxy_with() {
  local splice=$1
  read -r ECHO SINK SOURCE <<<"$(free_ports 3)"
  local conf=$scratch/haproxy.cfg
  {
    # Room for 8000 held connections within the hard limit of 20000 descriptors, counting
    # two per connection and two per splice pipe.
    echo "global"
    echo "  maxconn 8500"
    echo "  maxpipes 1000"
    echo "defaults"
    echo "  mode tcp"
    echo "  timeout connect 5s"
    echo "  timeout client 10m"
    echo "  timeout server 10m"
    [ "$splice" = 1 ] && printf '  option splice-request\n  option splice-response\n'
    local name port backend
    for name in echo sink source; do
      case $name in
        echo) port=$ECHO; backend=$B_ECHO ;;
        sink) port=$SINK; backend=$B_SINK ;;
        source) port=$SOURCE; backend=$B_SOURCE ;;
      esac
      echo "listen $name"
      echo "  bind 127.0.0.1:$port"
      echo "  server $name 127.0.0.1:$backend"
    done
  } >"$conf"
  setsid haproxy -db -f "$conf" >"$scratch/haproxy.out" 2>&1 &
  PIDS=($!); MEM_PIDS=${PIDS[0]}; started+=($!)
  wait_ports "$ECHO" "$SINK" "$SOURCE"
}
start_haproxy() { start_haproxy_with 0; }
start_haproxy-splice() { start_haproxy_with 1; }

# Writes a Trabix.ini: $1 folder, $2 general overrides, then channel lines
# "listen:target:logging:mode:maxspeed[:Key=value,Key=value]" for channels 1.. (the rest
# stay off); the optional last field adds keys to the channel's section.
write_trabix_ini() {
  local dir=$1 general=$2; shift 2
  local ini=$dir/Trabix.ini n=0 channel
  {
    echo "[General]"
    echo "AutoStart=1"
    echo "LogToScreen=1"
    echo "LimitScreenLog=1"
    echo "ScreenLogLines=5000"
    echo "WrapLines=1"
    echo "GotoTNA=0"
    echo "LogDelayInfo=0"
    printf '%s\n' $general
    for channel in "$@"; do
      n=$((n + 1))
      IFS=: read -r listen mapport logging mode speed extra <<<"$channel"
      echo "[MappedPort_$n]"
      echo "Remarks=bench $n"
      echo "BindIp=$TRABIX_IP"
      echo "ListenPort=$listen"
      echo "MapIp=$TRABIX_IP"
      echo "MapPort=$mapport"
      echo "Map=1"
      echo "Logging=$logging"
      echo "LogDataMode=$mode"
      echo "MaxSpeed=$speed"
      [ -n "$extra" ] && printf '%s\n' ${extra//,/ }
    done
    while [ $n -lt 8 ]; do
      n=$((n + 1))
      printf '[MappedPort_%d]\nMap=0\n' "$n"
    done
  } >"$ini"
}

# Starts the program as users run it: from its own folder, beside its Trabix.ini, headless.
# $1 folder name, $2 general overrides, then one "listen:target:logging:mode:maxspeed"
# per channel. Sets TRABIX_PID; the caller waits for the ports.
launch_trabix() {
  local dir=$scratch/$1 general=$2; shift 2
  mkdir -p "$dir"
  cp "$trabix" "$dir/trabix"
  write_trabix_ini "$dir" "$general" "$@"
  (cd "$dir" && QT_QPA_PLATFORM=offscreen exec setsid ./trabix >"$dir/trabix.out" 2>&1) &
  TRABIX_PID=$!
  started+=("$TRABIX_PID")
}

# $1 folder name, $2 general overrides, $3 logging, $4 data mode, $5 (optional) extra keys
# of every channel, "Key=value,Key=value".
start_trabix_with() {
  local name=$1 general=$2 logging=$3 mode=$4 extra=${5:+:$5}
  read -r ECHO SINK SOURCE <<<"$(free_ports 3)"
  launch_trabix "$name" "$general" "$ECHO:$B_ECHO:$logging:$mode:0$extra" \
    "$SINK:$B_SINK:$logging:$mode:0$extra" "$SOURCE:$B_SOURCE:$logging:$mode:0$extra"
  PIDS=("$TRABIX_PID"); MEM_PIDS=$TRABIX_PID
  wait_ports "$ECHO" "$SINK" "$SOURCE"
}
start_trabix-relay() {
  start_trabix_with trabix-relay "LogToFile=0 LogConnInfo=0 DelayPerThread=0" 0 0
}
# The plain relay with both legs on ::1 (the backend listens on [::1] beside 127.0.0.1), for
# the IPv6 rows beside trabix-relay's IPv4 ones.
start_trabix-ipv6() {
  CLIENT_HOST=::1 TRABIX_IP=::1
  start_trabix_with trabix-ipv6 "LogToFile=0 LogConnInfo=0 DelayPerThread=0" 0 0
}
start_trabix-baseline() {
  local trabix=$TRABIX_BASELINE_BIN
  start_trabix_with trabix-baseline "LogToFile=0 LogConnInfo=0 DelayPerThread=0" 0 0
}
start_trabix-inspect() {
  start_trabix_with trabix-inspect "LogToFile=1 LogConnInfo=1 DelayPerThread=0" 1 4
}
# The plain relay with both capture switches on: bytes kept in memory and written to pcap.
start_trabix-capture() {
  start_trabix_with trabix-capture "LogToFile=0 LogConnInfo=0 DelayPerThread=0" 0 0 \
    "Capture=1,CaptureToFile=1"
}

# --- workloads -------------------------------------------------------------------------------

record() {  # run target line...
  local run=$1 target=$2 line
  while IFS= read -r line; do
    [ -n "$line" ] && printf 'run=%s target=%s %s\n' "$run" "$target" "$line" >>"$raw"
  done
}

# Hex dumps of the inspecting runs fill the disk quickly; each row starts with none.
drop_logs() { rm -f "$scratch"/trabix-*/*.log "$scratch"/trabix-*/*.pcap; }

wants() { [[ " $BENCH_WORKLOADS " == *" $1 "* ]]; }

# Request/response: 40-byte requests, one outstanding per connection, then 16 pipelined on
# 50 connections. The relay's CPU (with its descendants) and the backend's are read meanwhile.
measure_rr() {
  local run=$1 target=$2 conns relay=()
  [ -n "$MEM_PIDS" ] && relay=(--relay-pids "$MEM_PIDS")
  for conns in $BENCH_RR_CONNS; do
    "$load" rr --host "$CLIENT_HOST" --port "$ECHO" --conns "$conns" --size 40 --seconds "$BENCH_RR_SECONDS" \
      "${relay[@]}" --backend-pids "$backend_pid" | record "$run" "$target"
    drop_logs
  done
  "$load" rr --host "$CLIENT_HOST" --port "$ECHO" --conns 50 --pipeline 16 --size 40 --seconds "$BENCH_RR_SECONDS" \
    "${relay[@]}" --backend-pids "$backend_pid" | record "$run" "$target"
}

measure_target() {
  local run=$1 target=$2 dir conns
  # The IPv6 rows: bulk throughput and request/response, the ones to set beside IPv4's.
  if [ "$target" = trabix-ipv6 ]; then
    local ipv6_workloads
    ipv6_workloads=$(for w in tput rr; do wants $w && printf '%s ' $w; done)
    local BENCH_WORKLOADS=" $ipv6_workloads"
  fi
  wants tput && for conns in 1 8; do
    for dir in up down; do
      local port=$SINK; [ $dir = down ] && port=$SOURCE
      drop_logs
      "$load" tput --host "$CLIENT_HOST" --port "$port" --dir $dir --conns $conns --bytes "$BENCH_BYTES" \
        --max-seconds "$BENCH_MAX_SECONDS" | record "$run" "$target"
    done
  done
  drop_logs
  wants latency && "$load" latency --port "$ECHO" --count $latency_count --max-seconds 10 \
    | record "$run" "$target"
  wants cps && "$load" cps --port "$ECHO" --workers 8 --seconds $cps_seconds | record "$run" "$target"
  wants burst && "$load" burst --port "$ECHO" --conns 200 --rounds $burst_rounds | record "$run" "$target"
  drop_logs
  wants rr && measure_rr "$run" "$target"
  drop_logs
  wants hold || return 0
  local mem=(); [ -n "$MEM_PIDS" ] && mem=(--pids "$MEM_PIDS")
  "$load" hold --port "$ECHO" --levels "$BENCH_LEVELS" "${mem[@]}" --window 4 \
    --open-seconds 20 --echo-seconds 10 --latency-at 1000 --count $latency_count | record "$run" "$target"
  drop_logs
}

run_targets() {
  local run target pid
  for run in $(seq 1 "$RUNS"); do
    for target in $BENCH_TARGETS; do
      if [[ $target == trabix-* && -z "$trabix" ]]; then
        [ "$run" = 1 ] && log "no trabix program built: $target skipped"
        continue
      fi
      log "run $run: $target"
      CLIENT_HOST=127.0.0.1 TRABIX_IP=127.0.0.1
      if "start_$target"; then
        measure_target "$run" "$target"
      else
        log "$target did not start"
      fi
      local t0=$SECONDS
      for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
      started=("$backend_pid")
      [ $((SECONDS - t0)) -ge 2 ] && log "$target took $((SECONDS - t0)) s to stop"
    done
  done
  CLIENT_HOST=127.0.0.1 TRABIX_IP=127.0.0.1
}

# Shaping: one program per "Delay/Connection" setting, six channels each (three limits, one
# and four connections) to the source, all measured at the same time.
run_shaping() {
  [ -n "$trabix" ] || return 0
  local run dpt limits=(100000 1000000 10000000)
  for run in $(seq 1 "$RUNS"); do
    for dpt in 0 1; do
      log "run $run: shaping, Delay/Connection=$dpt"
      local ports=($(free_ports 6)) channels=() rows=() i=0 limit conns
      for limit in "${limits[@]}"; do
        for conns in 1 4; do
          channels+=("${ports[$i]}:$B_SOURCE:0:0:$limit")
          rows+=(--row "${ports[$i]}:$conns:$limit")
          i=$((i + 1))
        done
      done
      launch_trabix "trabix-shape$dpt" "LogToFile=0 LogConnInfo=0 DelayPerThread=$dpt" \
        "${channels[@]}"
      if wait_ports "${ports[@]}"; then
        "$load" shape --seconds "$BENCH_SHAPE_SECONDS" "${rows[@]}" \
          | sed "s/^shape /shape dpt=$dpt /" | record "$run" "trabix-relay"
      fi
      stop_pid "$TRABIX_PID"
      started=("$backend_pid")
    done
  done
}

# The window's event loop under load, measured inside the program (see bench/stall/): the
# probe runs the real main window with one channel per workload while this script drives
# traffic through it. $1 the target the rows are recorded for, $2 the channels' logging,
# data mode and speed limit with extra keys ("logging:mode:maxspeed[:Key=value,...]"), $3 what
# the window shows meanwhile (STALL_PROBE_SHOW of the probe; empty: the Status tab).
#   trabix-inspect: hex dumps of every connection into the screen log and the daily file;
#   trabix-capture: plain channels with both capture switches, the Connections tab in front
#   and the stream view of the newest open connection growing live; at the end
#   BENCH_STALL_HOLD connections held open at once.
run_stall_probe() {
  [ -n "$probe" ] || { log "no stall probe built: skipped"; return 0; }
  local who=$1 chan=$2 show=${3:-} run
  for run in $(seq 1 "$RUNS"); do
    log "run $run: event-loop stall probe ($who)"
    local dir=$scratch/stall
    rm -rf "$dir"; mkdir -p "$dir"
    cp "$probe" "$dir/"
    read -r ECHO SINK SOURCE <<<"$(free_ports 3)"
    write_trabix_ini "$dir" "LogToFile=1 LogConnInfo=1 DelayPerThread=0" \
      "$ECHO:$B_ECHO:$chan" "$SINK:$B_SINK:$chan" "$SOURCE:$B_SOURCE:$chan"
    (cd "$dir" && STALL_PROBE_SHOW=$show QT_QPA_PLATFORM=offscreen exec setsid ./"$(basename "$probe")" \
      >"$dir/probe.out" 2>"$dir/probe.err") &
    local pid=$!
    started+=("$pid")
    if wait_ports "$ECHO" "$SINK" "$SOURCE"; then
      { echo "phase up1 at $(date +%s.%N)"
        "$load" tput --port "$SINK" --dir up --conns 1 --bytes "$BENCH_BYTES" \
          --max-seconds "$BENCH_MAX_SECONDS"
        rm -f "$dir"/*.log "$dir"/*.pcap
        echo "phase down8 at $(date +%s.%N)"
        "$load" tput --port "$SOURCE" --dir down --conns 8 --bytes "$BENCH_BYTES" \
          --max-seconds "$BENCH_MAX_SECONDS"
        rm -f "$dir"/*.log "$dir"/*.pcap
        echo "phase cps at $(date +%s.%N)"
        "$load" cps --port "$ECHO" --workers 8 --seconds $cps_seconds
        # With the Connections tab in front: as many open connections as it must stay
        # responsive with, each echoing now and then.
        if [ -n "$show" ]; then
          echo "phase hold$BENCH_STALL_HOLD at $(date +%s.%N)"
          "$load" hold --port "$ECHO" --levels "$BENCH_STALL_HOLD" --window 4 --open-seconds 30 \
            --echo-seconds 5
        fi
        echo "phase end at $(date +%s.%N)"
      } >"$dir/phases"
    fi
    stop_pid "$pid"
    started=("$backend_pid")
    grep '^stall ' "$dir/probe.out" | record "$run" "$who"
    # Where the long gaps fell, next to the traffic phases' start times.
    cat "$dir/phases" "$dir/probe.err" >"$results/$stamp.$who.stall$run.txt" 2>/dev/null
  done
}

# Network conditions: one program with a plain channel and one with LatencyCS=40 and
# LatencySC=10 to the echo backend (one-byte round trips on each), and the sink and the source
# behind 50 ms each way (one connection's throughput).
run_conditions() {
  [ -n "$trabix" ] || return 0
  local run dir port both="LatencyCS=50,LatencySC=50"
  for run in $(seq 1 "$RUNS"); do
    log "run $run: network conditions"
    local ports=($(free_ports 4))
    launch_trabix trabix-conditions "LogToFile=0 LogConnInfo=0 DelayPerThread=0" \
      "${ports[0]}:$B_ECHO:0:0:0" "${ports[1]}:$B_ECHO:0:0:0:LatencyCS=40,LatencySC=10" \
      "${ports[2]}:$B_SINK:0:0:0:$both" "${ports[3]}:$B_SOURCE:0:0:0:$both"
    if wait_ports "${ports[@]}"; then
      { "$load" latency --port "${ports[0]}" --count $conditions_count --max-seconds 30 \
          | sed 's/^latency /latency cond=none /'
        "$load" latency --port "${ports[1]}" --count $conditions_count --max-seconds 120 \
          | sed 's/^latency /latency cond=40+10 /'
        for dir in up down; do
          port=${ports[2]}; [ $dir = down ] && port=${ports[3]}
          "$load" tput --port "$port" --dir $dir --conns 1 --bytes "$BENCH_BYTES" \
            --max-seconds "$BENCH_MAX_SECONDS" | sed 's/^tput /tput cond=50+50 /'
        done
      } | record "$run" trabix-conditions
    fi
    stop_pid "$TRABIX_PID"
    started=("$backend_pid")
  done
}

# A real client and server: redis-benchmark (GET) against redis-server, directly and through
# each relay, at 1, 8, 50 and 200 connections and 50 connections pipelined 16 deep. The relays
# are the targets phase's ones with their echo channel pointed at redis.
run_redis() {
  command -v redis-server >/dev/null && command -v redis-benchmark >/dev/null \
    || { log "redis-server or redis-benchmark missing: redis phase skipped"; return 0; }
  local port run target conns pipeline rps echo_backend=$B_ECHO
  local targets=${BENCH_REDIS_TARGETS:-direct haproxy trabix-relay}
  [ -n "${TRABIX_BASELINE_BIN:-}" ] && [[ " $targets " != *" trabix-baseline "* ]] \
    && targets="${targets/trabix-relay/trabix-baseline trabix-relay}"
  port=$(free_ports 1)
  redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no \
    >"$scratch/redis.out" 2>&1 &
  local redis_pid=$!
  started+=("$redis_pid")
  wait_ports "$port" || { log "redis-server did not start"; return 0; }
  redis-benchmark -h 127.0.0.1 -p "$port" -t set -n 1000 -q >/dev/null 2>&1  # the key GET reads
  for run in $(seq 1 "$RUNS"); do
    for target in $targets; do
      [[ $target == trabix-* && -z "$trabix" ]] && continue
      log "run $run: redis through $target"
      B_ECHO=$port
      "start_$target" || { log "$target did not start"; B_ECHO=$echo_backend; continue; }
      B_ECHO=$echo_backend
      for conns in 1 8 50 200 50x16; do
        pipeline=1; [[ $conns == *x* ]] && pipeline=${conns#*x} && conns=${conns%x*}
        rps=$(redis-benchmark -h 127.0.0.1 -p "$ECHO" -t get -n "${BENCH_REDIS_REQUESTS:-100000}" \
                -c "$conns" -P "$pipeline" -q 2>/dev/null | tr '\r' '\n' \
              | sed -n 's/^GET: \([0-9.]*\) requests per second.*/\1/p' | tail -n 1)
        [ -n "$rps" ] && echo "redis conns=$conns pipeline=$pipeline rps=$rps" | record "$run" "$target"
      done
      local pid
      for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
      started=("$backend_pid" "$redis_pid")
    done
  done
  stop_pid "$redis_pid"
  started=("$backend_pid")
}

# The control API while 50 connections relay at full speed: round trips, latency toggled 100
# times (a probe connection's worst round trip beyond the condition), and a PATCH and a reset
# with 200 connections open. Its own backend and program; see bench/api/api_bench.py.
run_api() {
  [ -n "$trabix" ] || return 0
  local run seconds=20
  [ "${BENCH_QUICK:-0}" = 1 ] && seconds=5
  for run in $(seq 1 "$RUNS"); do
    log "run $run: control API under load"
    python3 "$root/bench/api/api_bench.py" --trabix "$trabix" --load "$load" \
      --seconds "$seconds" | sed 's/^api //' | record "$run" trabix-api
  done
}

# TLS on both legs against haproxy doing the same: the client speaks TLS to the relay, the
# relay TLS to a TLS echo/source (a haproxy of its own in front of the load backend). One
# ECDSA P-256 certificate everywhere, TLS 1.3 with TLS_AES_128_GCM_SHA256 only (an OpenSSL
# configuration every process here reads), no session tickets or reuse on any leg. Clients:
# trabix-load's TLS clients (downloads from the source through 1 and 8 connections, new
# connections, request/response). bench/tls_first_name.py measures what a new
# name costs the program.
tls_haproxy_config() {  # $1 file, then "port backend server-options" per listener
  local file=$1 n=0 listen backend options; shift
  {
    printf 'global\n  maxconn 4000\n'
    printf '  ssl-default-bind-ciphersuites TLS_AES_128_GCM_SHA256\n'
    printf '  ssl-default-bind-options ssl-min-ver TLSv1.3 no-tls-tickets\n'
    printf '  ssl-default-server-ciphersuites TLS_AES_128_GCM_SHA256\n'
    printf '  ssl-default-server-options ssl-min-ver TLSv1.3 no-tls-tickets\n'
    printf 'defaults\n  mode tcp\n  timeout connect 5s\n  timeout client 1m\n  timeout server 1m\n'
    for listener_line in "$@"; do
      read -r listen backend options <<<"$listener_line"
      n=$((n + 1))
      printf 'listen l%d\n  bind 127.0.0.1:%s ssl crt %s\n  server s%d 127.0.0.1:%s %s\n' \
        "$n" "$listen" "$tls_dir/both.pem" "$n" "$backend" "$options"
    done
  } >"$file"
}

run_tls() {
  command -v haproxy >/dev/null \
    || { log "haproxy missing: tls phase skipped"; return 0; }
  tls_dir=$scratch/tls
  mkdir -p "$tls_dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -subj /CN=bench.test -addext subjectAltName=DNS:bench.test,IP:127.0.0.1 \
    -keyout "$tls_dir/key.pem" -out "$tls_dir/cert.pem" 2>/dev/null || return 0
  cat "$tls_dir/cert.pem" "$tls_dir/key.pem" >"$tls_dir/both.pem"
  printf '%s\n' "openssl_conf = conf" "[conf]" "ssl_conf = ssl" "[ssl]" \
    "system_default = tls13" "[tls13]" "MinProtocol = TLSv1.3" \
    "Ciphersuites = TLS_AES_128_GCM_SHA256" >"$tls_dir/openssl.cnf"
  export OPENSSL_CONF=$tls_dir/openssl.cnf
  local back_echo back_source run target pid
  read -r back_echo back_source <<<"$(free_ports 2)"
  tls_haproxy_config "$tls_dir/backend.cfg" "$back_echo $B_ECHO" "$back_source $B_SOURCE"
  haproxy -db -f "$tls_dir/backend.cfg" >"$tls_dir/backend.out" 2>&1 &
  local tls_backend=$!
  started+=("$tls_backend")
  if wait_ports "$back_echo" "$back_source"; then
    for run in $(seq 1 "$RUNS"); do
      for target in haproxy trabix-relay; do
        [[ $target == trabix-* && -z "$trabix" ]] && continue
        log "run $run: tls through $target"
        read -r ECHO SOURCE <<<"$(free_ports 2)"
        if [ $target = haproxy ]; then
          tls_haproxy_config "$tls_dir/relay.cfg" \
            "$ECHO $back_echo ssl verify none no-ssl-reuse" \
            "$SOURCE $back_source ssl verify none no-ssl-reuse"
          setsid haproxy -db -f "$tls_dir/relay.cfg" >"$tls_dir/relay.out" 2>&1 &
          PIDS=($!); started+=($!)
        else
          local keys="TlsClient=1,TlsCertFile=$tls_dir/cert.pem,TlsKeyFile=$tls_dir/key.pem"
          keys+=",TlsTarget=1,TlsVerify=0"
          launch_trabix trabix-tls "LogToFile=0 LogConnInfo=0 DelayPerThread=0" \
            "$ECHO:$back_echo:0:0:0:$keys" "$SOURCE:$back_source:0:0:0:$keys"
          PIDS=("$TRABIX_PID")
        fi
        wait_ports "$ECHO" "$SOURCE" && measure_tls "$run" "$target"
        for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
        started=("$backend_pid" "$tls_backend")
      done
    done
  fi
  stop_pid "$tls_backend"
  started=("$backend_pid")
  unset OPENSSL_CONF
}

# MB/s of downloads from the TLS source through the relay (1 and 8 connections, BENCH_BYTES
# in all), then new TLS connections per second through it (8 clients and 1 client, each
# connection a full handshake on both legs and the echo of one byte) and requests per second
# on 50 TLS connections.
measure_tls() {
  local run=$1 target=$2 conns i
  for conns in 1 8; do
    "$load" tls-tput --port "$SOURCE" --conns "$conns" --bytes "$BENCH_BYTES" --max-seconds 60 \
      | sed 's/^tls-tput /tls tput /' | record "$run" "$target"
  done
  for i in 8 1; do
    "$load" tls-cps --port "$ECHO" --workers "$i" --seconds "$cps_seconds" \
      | sed 's/^tls-cps /tls cps /' | record "$run" "$target"
  done
  "$load" tls-rr --port "$ECHO" --conns 50 --size 40 --seconds "$BENCH_RR_SECONDS" \
    | sed 's/^tls-rr /tls rr /' | record "$run" "$target"
}

# --- main ------------------------------------------------------------------------------------

log "raw results: $raw"
start_backend || exit 1
for phase in $BENCH_PHASES; do
  case $phase in
    targets) run_targets ;;
    shaping) run_shaping ;;
    stall) run_stall_probe trabix-inspect 1:4:0 ;;
    stall-capture) run_stall_probe trabix-capture 0:0:0:Capture=1,CaptureToFile=1 stream ;;
    conditions) run_conditions ;;
    redis) run_redis ;;
    api) run_api ;;
    tls) run_tls ;;
  esac
done
stop_pid "$backend_pid"
started=()

python3 "$root/bench/report.py" "$raw" | tee "$results/$stamp.md"
