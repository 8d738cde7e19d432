#!/usr/bin/env bash
# Makes docs/screenshot.png and docs/screenshot-about.png: the real program under Xvfb (with
# the openbox window manager) with two channels, one to a loopback echo server (capturing) and
# one to a loopback HTTP server, after some traffic through both, and its About box; with them
# docs/connections.png (the Connections tab), docs/stream.png (the stream view of a
# connection that stays open) and docs/channel-<page>.png (each page of the first channel's
# "Channel Settings" dialog). That first run stores no window bounds: the window opens as on a
# first start. Then the same at 150 % (QT_SCALE_FACTOR=1.5 on a 1280x900 screen):
# docs/screenshot-150.png and docs/screenshot-150-about.png; the stored window bounds there
# are larger than the screen.
# Everything runs in a temporary folder (program copy, Trabix.ini, log file) on 127.0.0.1.
# The program is the trabix-screenshot tool: the window with the seam that takes the pictures
# (app/tools/ScreenshotSeam.h), which the shipped program does not have.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/deps.sh  # openbox and Xvfb are among the packages it always installs
build=${BUILD_DIR:-build}  # the build folder (default: build, as scripts/test.sh uses)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target trabix-screenshot

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The targets: an echo server and a small HTTP server, both on port 0; they print their ports.
cat > "$work/targets.py" <<'PY'
import http.server, socketserver, sys, threading

class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        while True:
            data = self.request.recv(65536)
            if not data:
                return
            self.request.sendall(data)

class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b"<html><body>Hello through Trabix</body></html>\n"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass

socketserver.ThreadingTCPServer.daemon_threads = True
echo = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Echo)
web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
for server in (echo, web):
    threading.Thread(target=server.serve_forever, daemon=True).start()
print(echo.server_address[1], web.server_address[1], flush=True)
sys.stdin.read()  # runs until the script closes our input
PY

# Free ports for the two channels (the window only takes listen ports from 1 to 65535).
read -r listen1 listen2 < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

coproc TARGETS { python3 "$work/targets.py"; }
pids+=("$TARGETS_PID")
read -r echo_port web_port <&"${TARGETS[0]}"

cp "$build/app/tools/trabix-screenshot" "$work/trabix"
# The settings; with an argument, also the stored window bounds.
write_ini() {
cat > "$work/Trabix.ini" <<INI
[General]
AutoStart=1
LogToScreen=1
LogToFile=1
LimitScreenLog=1
ScreenLogLines=5000
WrapLines=1
GotoTNA=0
LogConnInfo=1
LogDelayInfo=1
DelayPerThread=0
[MappedPort_1]
Remarks=echo
BindIp=127.0.0.1
ListenPort=$listen1
MapIp=127.0.0.1
MapPort=$echo_port
Map=1
Logging=1
LogDataMode=1
MaxSpeed=0
Capture=1
CaptureToFile=1
[MappedPort_2]
Remarks=web
BindIp=127.0.0.1
ListenPort=$listen2
MapIp=127.0.0.1
MapPort=$web_port
Map=1
Logging=1
LogDataMode=6
MaxSpeed=0
INI
if [ -n "${1:-}" ]; then
  printf '[WindowPos]\nTop=0\nLeft=0\nHeight=560\nWidth=1100\n' >> "$work/Trabix.ini"
fi
}

# Waits up to $2 seconds for the file $1 to contain the text $3 (or just to exist).
wait_for() {
  local file=$1 seconds=$2 text=${3:-}
  for _ in $(seq $((seconds * 10))); do
    if [ -e "$file" ] && { [ -z "$text" ] || grep -q -- "$text" "$file"; }; then return 0; fi
    sleep 0.1
  done
  echo "screenshot.sh: timed out waiting for $file${text:+ to contain '$text'}" >&2
  return 1
}

# One run of the program on a screen of the given size and scale; the pictures go to docs/.
shoot() {
  local screen=$1 scale=$2 name=$3
  rm -f "$work"/*.log "$work"/*.png
  export TRABIX_SCREENSHOT="$work/$name.png" QT_SCALE_FACTOR=$scale
  export listen1 listen2 work
  xvfb-run -a -s "-screen 0 ${screen}x24 -noreset" bash -c '
    set -euo pipefail
    cd "$work"
    openbox >/dev/null 2>&1 & wm=$!
    ./trabix & trabix=$!
    '"$(declare -f wait_for)"'
    log="$work/$(date +%Y%m%d).log"
    wait_for "$log" 20 "listening to connections on 127.0.0.1:$listen2"
    python3 - <<PY
import socket, urllib.request
for text in (b"Hello Trabix\r\n", b"Relayed both ways\r\n", "caf\u00e9 \u20ac\r\n".encode()):
    with socket.create_connection(("127.0.0.1", $listen1), timeout=5) as s:
        s.sendall(text)
        got = b""
        while len(got) < len(text):
            got += s.recv(65536)
for _ in range(2):
    urllib.request.urlopen("http://127.0.0.1:$listen2/index.html", timeout=5).read()
PY
    wait_for "$log" 20 "Disconnect (incoming)"
    # One connection stays open (and first in the list) while the pictures are taken.
    python3 -c "
import socket, time
s = socket.create_connection((\"127.0.0.1\", $listen1), timeout=5)
for line in (b\"GET /status HTTP/1.0\\r\\n\", b\"ping\\r\\n\"):
    s.sendall(line); time.sleep(0.3); s.recv(65536)
time.sleep(30)" & holder=$!
    sleep 1.5  # let the 250 ms refreshes show the counters and the open connection
    touch "$TRABIX_SCREENSHOT.request"
    wait_for "$TRABIX_SCREENSHOT" 20
    while [ -e "$TRABIX_SCREENSHOT.request" ]; do sleep 0.1; done
    kill "$holder" 2>/dev/null || true
    kill -TERM "$trabix"
    wait "$trabix"
    kill "$wm" 2>/dev/null || true
  '
  mkdir -p docs
  cp "$work/$name.png" "docs/$name.png"
  cp "$work/$name-about.png" "docs/$name-about.png"
  echo "docs/$name.png and docs/$name-about.png written"
  if [ "$name" = screenshot ]; then
    cp "$work/$name-connections.png" docs/connections.png
    cp "$work/$name-stream.png" docs/stream.png
    echo "docs/connections.png and docs/stream.png written"
    for page in "$work/$name"-channel-*.png; do
      cp "$page" "docs/${page#"$work/$name"-}"
      echo "docs/${page#"$work/$name"-} written"
    done
  fi
}

write_ini
shoot 1280x800 1 screenshot
write_ini with-bounds
shoot 1280x900 1.5 screenshot-150
