#!/usr/bin/env python3
"""Turns the raw lines of bench/run.sh into one Markdown table, the shaping and stall rows,
and a check of the goals. Every figure is the median over the rounds of the run.

Usage: report.py RAW_FILE
"""
import statistics
import sys
from collections import defaultdict

TARGETS = ["direct", "trabix-baseline", "trabix-relay", "trabix-ipv6", "trabix-capture", "trabix-inspect", "socat", "rinetd",
           "haproxy", "haproxy-splice"]
PEERS = ["socat", "rinetd", "haproxy", "haproxy-splice"]
COPYING_PEERS = ["socat", "rinetd", "haproxy"]

# (label, workload, selector, field, higher is better)
FIGURES = [
    ("Throughput 1 conn C->S (MB/s)", "tput", {"dir": "up", "conns": "1"}, "mbps", True),
    ("Throughput 1 conn S->C (MB/s)", "tput", {"dir": "down", "conns": "1"}, "mbps", True),
    ("Throughput 8 conns C->S (MB/s)", "tput", {"dir": "up", "conns": "8"}, "mbps", True),
    ("Throughput 8 conns S->C (MB/s)", "tput", {"dir": "down", "conns": "8"}, "mbps", True),
    ("Latency p50 (us)", "latency", {"idle": "0"}, "p50_us", False),
    ("Latency p99 (us)", "latency", {"idle": "0"}, "p99_us", False),
    ("Latency p50, 1000 idle held (us)", "latency", {"idle": "1000"}, "p50_us", False),
    ("Latency p99, 1000 idle held (us)", "latency", {"idle": "1000"}, "p99_us", False),
    ("Connections per second", "cps", {}, "per_sec", True),
    ("Connection failures (of those)", "cps", {}, "failed", None),
    ("Longest connect of those (ms)", "cps", {}, "connect_max_ms", False),
    ("Burst of 200 connects, p99 connect+echo (ms)", "burst", {}, "p99_ms", False),
    ("Burst of 200 connects, longest connect+echo (ms)", "burst", {}, "max_ms", False),
    ("Burst failures", "burst", {}, "failed", None),
    ("Memory per idle connection, PSS (KB)", "hold", {"level": "1000"}, "pss_per_conn_kb", False),
    ("Memory per idle connection, RSS (KB)", "hold", {"level": "1000"}, "rss_per_conn_kb", False),
    # One process: its new private pages are its RSS growth, which other processes mapping the
    # same libraries cannot blur as they blur PSS.
    ("Memory per idle connection, 8000 held, RSS (KB)", "hold", {"level": "8000"}, "rss_per_conn_kb", False),
    ("Max connections held, all echoing", "holdmax", {}, "held", True),
]

# Request/response rows: (label part, connections, requests pipelined).
RR_CASES = [("1 conn", "1", "1"), ("8 conns", "8", "1"), ("50 conns", "50", "1"),
            ("200 conns", "200", "1"), ("50 conns, 16 pipelined", "50", "16")]
for _name, _conns, _pipe in RR_CASES:
    _sel = {"conns": _conns, "pipeline": _pipe}
    FIGURES += [
        (f"Requests/s, {_name}", "rr", _sel, "per_sec", True),
        (f"Relay CPU s per M requests, {_name}", "rr", _sel, "relay_cpu_s_per_m", False),
        (f"Backend CPU s per M requests, {_name}", "rr", _sel, "backend_cpu_s_per_m", False),
    ]


def parse(path):
    rows = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3:
                continue
            rec = {"workload": parts[2]}
            for p in parts[:2] + parts[3:]:
                if "=" in p:
                    k, v = p.split("=", 1)
                    rec[k] = v
            rows.append(rec)
    return rows


def number(text):
    try:
        v = float(text)
    except (TypeError, ValueError):
        return None
    return v if v == v else None  # drop NaN


def median_of(rows, target, workload, selector, field):
    vals = []
    for r in rows:
        if r.get("target") != target or r["workload"] != workload:
            continue
        if all(r.get(k) == v for k, v in selector.items()):
            v = number(r.get(field))
            if v is not None:
                vals.append(v)
    return statistics.median(vals) if vals else None


def fmt(v):
    if v is None:
        return "n/a"
    if abs(v) >= 100:
        return f"{v:.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None


def best(values, higher):
    present = [v for v in values if v is not None]
    if not present:
        return None
    return max(present) if higher else min(present)


def main_table(rows, targets):
    out = ["| Figure | " + " | ".join(targets) + " |",
           "|---|" + "---|" * len(targets)]
    table = {}
    for label, workload, sel, field, higher in FIGURES:
        vals = {t: median_of(rows, t, workload, sel, field) for t in targets}
        table[label] = vals
        cells = []
        if higher is None:
            cells = [fmt(vals[t]) for t in targets]
        else:
            bp = best([vals.get(p) for p in PEERS], higher)
            for t in targets:
                v = vals[t]
                if v is None:
                    cells.append("n/a")
                    continue
                rd, rp = ratio(v, vals.get("direct")), ratio(v, bp)
                cells.append(f"{fmt(v)} ({fmt(rd) if rd is not None else '-'} / "
                             f"{fmt(rp) if rp is not None else '-'})")
        out.append(f"| {label} | " + " | ".join(cells) + " |")
    return out, table


def shaping_table(rows):
    groups = defaultdict(lambda: defaultdict(list))
    for r in rows:
        if r["workload"] != "shape":
            continue
        key = (int(r["dpt"]), int(r["limit"]), int(r["conns"]))
        for f in ("ratio_conn_min", "ratio_conn_max", "ratio_total"):
            v = number(r.get(f))
            if v is not None:
                groups[key][f].append(v)
    out = ["| Delay/Connection | Limit (B/s) | Conns | per conn min | per conn max | channel total | goal |",
           "|---|---|---|---|---|---|---|"]
    verdicts = []
    for key in sorted(groups):
        dpt, limit, conns = key
        g = {f: statistics.median(v) for f, v in groups[key].items()}
        if dpt == 0:
            ok = 0.97 <= g["ratio_conn_min"] and g["ratio_conn_max"] <= 1.03
            goal = "each conn within 3 %"
        else:
            ok = 0.95 <= g["ratio_total"] <= 1.05
            goal = "total within 5 %"
        verdicts.append(ok)
        out.append(f"| {'on' if dpt else 'off'} | {limit} | {conns} | {g['ratio_conn_min']:.3f} | "
                   f"{g['ratio_conn_max']:.3f} | {g['ratio_total']:.3f} | "
                   f"{'met' if ok else 'MISSED'} ({goal}) |")
    return out, verdicts


def stall_lines(rows, target="trabix-inspect", what="inspecting"):
    vals = [number(r.get("max_ms")) for r in rows
            if r["workload"] == "stall" and r.get("target", "trabix-inspect") == target]
    vals = [v for v in vals if v is not None]
    if not vals:
        return [f"Event-loop stall ({what}): not measured"], None
    return [f"Event-loop stall ({what}, longest gap between 10 ms ticks): median {fmt(statistics.median(vals))} ms, "
            f"worst {fmt(max(vals))} ms over {len(vals)} rounds"], max(vals)


def goal_checks(table, shaping_ok, stall_worst):
    lines = []

    def check(text, ok):
        lines.append(f"- {'met' if ok else 'MISSED' if ok is not None else 'not measured'}: {text}")

    def get(label, target):
        return table.get(label, {}).get(target)

    tput = [f for f in table if f.startswith("Throughput")]
    relay_ok = None
    for f in tput:
        v, bp = get(f, "trabix-relay"), best([get(f, p) for p in COPYING_PEERS], True)
        if v is None or bp is None:
            continue
        relay_ok = (relay_ok is not False) and v >= bp
    check("relay throughput >= best copying peer in every row", relay_ok)
    for f in ("Latency p50 (us)", "Latency p99 (us)"):
        v, bp = get(f, "trabix-relay"), best([get(f, p) for p in PEERS], False)
        check(f"relay {f.split()[1]} within 1.1 x best peer", None if v is None or bp is None else v <= 1.1 * bp)
    v, d = get("Connections per second", "trabix-relay"), get("Connections per second", "direct")
    check("relay connections/s >= 0.8 x direct", None if v is None or not d else v >= 0.8 * d)
    v = get("Longest connect of those (ms)", "trabix-relay")
    check("relay: no connect of the connection workload over 100 ms", None if v is None else v <= 100)
    v = get("Burst of 200 connects, p99 connect+echo (ms)", "trabix-relay")
    check("relay: 200 simultaneous connects all echo, p99 under 100 ms",
          None if v is None else v < 100 and get("Burst failures", "trabix-relay") == 0)
    v = get("Memory per idle connection, PSS (KB)", "trabix-relay")
    check("relay memory per idle connection < 64 KB (PSS)", None if v is None else v < 64)
    v = get("Max connections held, all echoing", "trabix-relay")
    check("relay holds 8000 connections, all echoing", None if v is None else v >= 8000)
    check("shaping within its tolerance in every row", all(shaping_ok) if shaping_ok else None)
    ins = [get(f, "trabix-inspect") for f in tput]
    ins = [v for v in ins if v is not None]
    check("inspecting relays >= 50 MB/s in every throughput row", min(ins) >= 50 if ins else None)
    check("inspecting: event loop never stalls > 100 ms", None if stall_worst is None else stall_worst <= 100)

    def versus_haproxy(label, factor, higher):
        v, h = get(label, "trabix-relay"), get(label, "haproxy")
        if v is None or h is None:
            return None
        return v >= factor * h if higher else v <= factor * h

    for name in ("50 conns", "200 conns"):
        check(f"relay requests/s with {name} >= 0.9 x haproxy",
              versus_haproxy(f"Requests/s, {name}", 0.9, True))
        check(f"relay CPU per request with {name} <= 1.3 x haproxy",
              versus_haproxy(f"Relay CPU s per M requests, {name}", 1.3, False))
    for name in ("1 conn", "8 conns"):
        check(f"relay requests/s with {name} >= haproxy", versus_haproxy(f"Requests/s, {name}", 1.0, True))
    check("relay requests/s pipelined >= 0.9 x haproxy",
          versus_haproxy("Requests/s, 50 conns, 16 pipelined", 0.9, True))
    v = get("Memory per idle connection, 8000 held, RSS (KB)", "trabix-relay")
    check("relay memory per idle connection with 8000 held <= 8 KB (RSS)", None if v is None else v <= 8)
    for f in tput:
        c, r = get(f, "trabix-capture"), get(f, "trabix-relay")
        if c is not None and r:
            check(f"capture on >= 0.4 x capture off: {f} ({fmt(c)} vs {fmt(r)})", c >= 0.4 * r)
    # The build before (TRABIX_BASELINE_BIN) against this one with capture off: no worse than
    # the 10 % the rounds of one target differ by on this machine.
    for f in tput + ["Latency p50 (us)", "Latency p99 (us)"]:
        b, r = get(f, "trabix-baseline"), get(f, "trabix-relay")
        if b and r is not None:
            ok = r >= 0.9 * b if f.startswith("Throughput") else r <= 1.1 * b
            check(f"capture off no worse than the build before (10 %): {f} ({fmt(r)} vs {fmt(b)})", ok)
    return lines


def conditions_lines(rows):
    """The accuracy of the network conditions: round trips with LatencyCS=40 and LatencySC=10
    against the same program's plain channel, and one connection's throughput behind 50 ms each
    way."""
    def med(workload, sel, field):
        return median_of(rows, "trabix-conditions", workload, sel, field)
    base50 = med("latency", {"cond": "none"}, "p50_us")
    base99 = med("latency", {"cond": "none"}, "p99_us")
    p50 = med("latency", {"cond": "40+10"}, "p50_us")
    p99 = med("latency", {"cond": "40+10"}, "p99_us")
    up = med("tput", {"cond": "50+50", "dir": "up"}, "mbps")
    down = med("tput", {"cond": "50+50", "dir": "down"}, "mbps")
    if p50 is None and up is None:
        return [], []

    def ms(v):
        return "n/a" if v is None else f"{v / 1000:.2f} ms"

    def added(v, base):
        return None if v is None or base is None else (v - base) / 1000
    a50, a99 = added(p50, base50), added(p99, base50)
    lines = ["Network conditions (Trabix):", "",
             f"- one-byte echo round trips, plain channel: p50 {ms(base50)}, p99 {ms(base99)}",
             f"- with LatencyCS=40, LatencySC=10: p50 {ms(p50)}, p99 {ms(p99)} "
             f"(above 50 ms + plain p50: p50 {fmt(a50 - 50) if a50 is not None else 'n/a'} ms, "
             f"p99 {fmt(a99 - 50) if a99 is not None else 'n/a'} ms; "
             f"p99 above 50 ms + plain p99: {fmt((p99 - base99) / 1000 - 50) if p99 is not None and base99 is not None else 'n/a'} ms)",
             f"- one connection behind 50 ms each way: C->S {fmt(up)} MB/s, S->C {fmt(down)} MB/s", ""]
    def verdict(ok, text):
        return f"- {'met' if ok else 'MISSED' if ok is not None else 'not measured'}: {text}"
    a99p = None if p99 is None or base99 is None else (p99 - base99) / 1000
    goals = [
        verdict(None if a50 is None else 0 <= a50 - 50 <= 1,
                "conditions 40+10 ms: held pieces leave on time, p50 = 50 ms + plain p50 + 0..1 ms"),
        verdict(None if a99p is None else a99p - 50 <= 2,
                "conditions 40+10 ms: p99 at most 2 ms above 50 ms + plain p99"),
        verdict(None if up is None or down is None else min(up, down) >= 50,
                "one connection behind 50 ms each way >= 50 MB/s"),
    ]
    return lines, goals


REDIS_ROWS = [("1", "1"), ("8", "1"), ("50", "1"), ("200", "1"), ("50", "16")]


def redis_lines(rows):
    """redis-benchmark GET through each relay: requests per second and the ratio to haproxy."""
    targets = [t for t in ["direct", "haproxy", "trabix-baseline", "trabix-relay"]
               if any(r.get("target") == t and r["workload"] == "redis" for r in rows)]
    if "haproxy" not in targets:
        return [], []
    head = "| connections | " + " | ".join(targets) + " |"
    lines = ["redis-benchmark GET, requests per second (ratio to haproxy):", "", head,
             "|" + "---|" * (len(targets) + 1)]
    goals = []
    for conns, pipeline in REDIS_ROWS:
        sel = {"conns": conns, "pipeline": pipeline}
        values = {t: median_of(rows, t, "redis", sel, "rps") for t in targets}
        hap = values.get("haproxy")
        cells = [f"{fmt(v)} ({fmt(ratio(v, hap))})" for v in values.values()]
        name = conns if pipeline == "1" else f"{conns}, pipelined {pipeline}"
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
        r = ratio(values.get("trabix-relay"), hap)
        goals.append(f"- {'met' if r is not None and r >= 1.0 else 'MISSED'}: redis GET at {name}: "
                     f"Trabix >= 1.0 x haproxy ({fmt(r)})")
    return lines + [""], goals


def api_lines(rows):
    """The control API under load (bench/api/api_bench.py), medians over the rounds."""
    def med(workload, field):
        return median_of(rows, "trabix-api", workload, {}, field)
    if not any(r.get("target") == "trabix-api" for r in rows):
        return [], []
    get99, patch99 = med("get_under_load", "p99_ms"), med("toggles_under_load", "patch_p99_ms")
    beyond = med("toggles_under_load", "probe_beyond_condition_ms")
    reset = med("open200", "reset_ms")
    lines = ["Control API, 50 connections relaying at full speed (ms):", "",
             "| request | p50 | p99 |", "|---|---|---|",
             f"| GET /v1/channels/1 | {fmt(med('get_under_load', 'p50_ms'))} | {fmt(get99)} |",
             f"| GET /metrics | {fmt(med('metrics_under_load', 'p50_ms'))} | "
             f"{fmt(med('metrics_under_load', 'p99_ms'))} |",
             f"| PATCH LatencyCS on/off | {fmt(med('toggles_under_load', 'patch_p50_ms'))} | "
             f"{fmt(patch99)} |", "",
             f"Probe connection during 100 toggles: worst round trip beyond the condition "
             f"{fmt(beyond)} ms. With 200 connections open: live PATCH "
             f"{fmt(med('open200', 'patch_ms'))} ms, reset {fmt(reset)} ms.", ""]

    def verdict(value, limit, text):
        ok = value is not None and value <= limit
        return f"- {'met' if ok else 'MISSED'}: {text} ({fmt(value)} ms)"
    goals = [verdict(get99, 5, "API round trip p99 < 5 ms under 50 relaying connections"),
             verdict(beyond, 100, "latency toggles never hold a connection > 100 ms beyond it"),
             verdict(reset, 50, "reset with 200 connections open < 50 ms")]
    return lines, goals
# TLS on both legs, Trabix against haproxy: (label, selector, field, goal as a share of haproxy).
TLS_ROWS = [("Download, 1 conn (MB/s)", {"conns": "1"}, "mbps", 1.0),
            ("Download, 8 conns (MB/s)", {"conns": "8"}, "mbps", 1.0),
            ("New connections per second, 8 clients", {"workers": "8"}, "per_sec", 0.9),
            ("New connections per second, 1 client", {"workers": "1"}, "per_sec", 0.9),
            ("Requests per second, 50 conns", {"conns": "50"}, "per_sec", 0.9)]


def tls_lines(rows):
    """The tls phase: each figure for haproxy and Trabix and their ratio."""
    if not any(r["workload"] == "tls" for r in rows):
        return [], []
    lines = ["TLS on both legs (TLS 1.3, TLS_AES_128_GCM_SHA256, ECDSA P-256, no resumption):", "",
             "| figure | haproxy | trabix-relay (ratio) |", "|---|---|---|"]
    goals = []
    for label, sel, field, goal in TLS_ROWS:
        hap = median_of(rows, "haproxy", "tls", sel, field)
        own = median_of(rows, "trabix-relay", "tls", sel, field)
        r = ratio(own, hap)
        lines.append(f"| {label} | {fmt(hap)} | {fmt(own)} ({fmt(r)}) |")
        goals.append(f"- {'met' if r is not None and r >= goal else 'MISSED'}: TLS {label}: "
                     f"Trabix >= {goal} x haproxy ({fmt(r)})")
    return lines + [""], goals


def main():
    rows = parse(sys.argv[1])
    runs = sorted({r.get("run") for r in rows if r.get("run")})
    targets = [t for t in TARGETS if any(r.get("target") == t for r in rows)]
    out = [f"Medians over {len(runs)} round(s). Cells: value (ratio to direct / ratio to best peer); "
           "best peer = best of socat, rinetd, haproxy, haproxy-splice. MB = 10^6 bytes.", ""]
    t, table = main_table(rows, targets)
    out += t + [""]
    s, shaping_ok = shaping_table(rows)
    if shaping_ok:
        secs = [number(r.get("seconds")) for r in rows if r["workload"] == "shape"]
        secs = [v for v in secs if v is not None]
        span = f"{statistics.median(secs):.0f} s" if secs else "n/a"
        out += [f"Shaping (Trabix, measured rate / limit over {span}, least-squares rate):", ""] + s + [""]
    st, stall_worst = stall_lines(rows)
    sc, capture_worst = stall_lines(rows, "trabix-capture", "Capture=1 and CaptureToFile=1, stream view open")
    cl, cgoals = conditions_lines(rows)
    goals = goal_checks(table, shaping_ok, stall_worst) + cgoals
    if capture_worst is not None:
        goals.append(f"- {'met' if capture_worst <= 100 else 'MISSED'}: capture on: event loop never stalls > 100 ms")
    rl, rgoals = redis_lines(rows)
    goals += rgoals
    al, agoals = api_lines(rows)
    goals += agoals
    tl, tgoals = tls_lines(rows)
    goals += tgoals
    out += st + sc + [""] + cl + rl + al + tl + ["Goals:"] + goals
    print("\n".join(out))


if __name__ == "__main__":
    main()
