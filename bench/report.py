#!/usr/bin/env python3
"""Turns the samples gathered by bench/run.sh into results.md and results.png.

Every figure is the median over the repeats of one run; every ratio is a ratio
of such medians, taken against baselines measured in the same run (direct
loopback, the floor relay, socat, haproxy, a client speaking SOCKS5 to microsocks
itself).
Targets are judged on those ratios only.

    report.py --samples S --meta M --markdown results.md --plot results.png
    report.py iperf RESULT.json TICKS_BEFORE TICKS_AFTER TARGET
        (used by run.sh: prints key=value pairs for one iperf3 run)
"""

import argparse
import csv
import math
import os
import statistics
from collections import defaultdict

TARGETS_ORDER = ["relay", "floor", "direct", "socat", "haproxy", "relay+proxy", "proxy"]
COLOURS = {"relay": "#d62728", "floor": "#ff7f0e", "direct": "#7f7f7f", "socat": "#1f77b4",
           "haproxy": "#2ca02c"}


class Samples:
    def __init__(self, path):
        self.values = defaultdict(list)
        self.by_rep = defaultdict(dict)
        self.errors = defaultdict(list)
        with open(path, newline="") as f:
            for row in csv.DictReader(f, delimiter="\t"):
                key = (row["phase"], row["target"], row["param"])
                if row["key"] == "error":
                    self.errors[key].append(row["value"])
                    continue
                try:
                    value = float(row["value"])
                except ValueError:
                    continue
                self.values[key + (row["key"],)].append(value)
                self.by_rep[key + (row["key"],)][row["rep"]] = value

    def all(self, phase, target, param, key):
        return self.values.get((phase, target, param, key), [])

    def median(self, phase, target, param, key):
        v = self.all(phase, target, param, key)
        return statistics.median(v) if v else None

    def paired_ratio(self, phase, target, param, key, base_key):
        """Median over the runs of key / base_key, each pair from one run."""
        a = self.by_rep.get((phase, target, param, key), {})
        b = self.by_rep.get((phase, target, param, base_key), {})
        ratios = [a[r] / b[r] for r in a if r in b and b[r] > 0]
        return statistics.median(ratios) if ratios else None

    def targets(self, phase):
        present = {k[1] for k in self.values if k[0] == phase} | {
            k[1] for k in self.errors if k[0] == phase}
        return [t for t in TARGETS_ORDER if t in present]

    def error_count(self, phase):
        return sum(len(v) for k, v in self.errors.items() if k[0] == phase)


def read_meta(path):
    meta = {}
    with open(path) as f:
        for line in f:
            if "=" in line:
                k, v = line.rstrip("\n").split("=", 1)
                meta[k] = v
    return meta


def fmt(x, digits=2):
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "n/a"
    if abs(x) >= 1000:
        return f"{x:,.0f}"
    return f"{x:.{digits}f}"


def times(r):
    """A ratio as "1.02x", or n/a."""
    return "n/a" if r is None else f"{fmt(r)}x"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def add_ratio(v, name, mine, theirs, digits, unit, goal, passes):
    """A verdict on mine / theirs, showing both figures."""
    r = ratio(mine, theirs)
    v.add(name, f"{times(r)} ({fmt(mine, digits)} vs {fmt(theirs, digits)}{unit})", goal,
          None if r is None else passes(r))


def spread(values, digits=2):
    if not values:
        return "n/a"
    if len(values) == 1:
        return fmt(values[0], digits)
    return f"{fmt(min(values), digits)} – {fmt(max(values), digits)}"


def size_text(b):
    """Bytes, and the same in KiB."""
    return f"{fmt(b, 0)} B ({fmt(None if b is None else b / 1024, 2)} KiB)"


def idle_memory(samples, phase, target, n):
    """RSS before, and the median and spread of the RSS per idle client."""
    return [fmt(samples.median(phase, target, n, "rss_before_kb"), 0),
            size_text(samples.median(phase, target, n, "rss_per_client_b")),
            spread([x / 1024 for x in samples.all(phase, target, n, "rss_per_client_b")])]


def connrate_table(samples, phase):
    """Connections per second of every target, against haproxy's, and rate and
    CPU time per connection against the floor relay's where it ran."""
    hap = samples.median(phase, "haproxy", "-", "conns_per_sec")
    floor = "floor" in samples.targets(phase)
    floor_rate = samples.median(phase, "floor", "-", "conns_per_sec")
    floor_cpu = samples.median(phase, "floor", "-", "cpu_us_per_conn")
    rows = []
    for t in samples.targets(phase):
        med = samples.median(phase, t, "-", "conns_per_sec")
        cpu = samples.median(phase, t, "-", "cpu_us_per_conn")
        row = [t, fmt(med, 0), spread(samples.all(phase, t, "-", "conns_per_sec"), 0),
               fmt(ratio(med, hap))]
        if floor:
            row.append(fmt(ratio(med, floor_rate)))
        row.append(fmt(cpu, 0))
        if floor:
            row.append(fmt(ratio(cpu, floor_cpu)))
        row.append(fmt(sum(samples.all(phase, t, "-", "errors")), 0))
        rows.append(row)
    header = ["path", "median", "min – max", "/ haproxy"] + (["/ floor"] if floor else []) + \
        ["CPU µs per connection"] + (["CPU / floor"] if floor else []) + ["errors"]
    return table(header, rows)


def syscall_section(samples, meta):
    """The system calls of one round trip and of one connection, relay and haproxy."""
    targets = samples.targets("syscalls")
    if not targets:
        return None
    per = {}  # (target, param) -> {call: count per unit}
    for t in targets:
        for param, unit_key in (("rt", "round_trips"), ("conn", "conns")):
            units = samples.median("syscalls", t, param, unit_key)
            if not units:
                continue
            per[(t, param)] = {k[3:]: samples.median("syscalls", t, param, k) / units
                               for (ph, tt, pp, k) in samples.values
                               if ph == "syscalls" and tt == t and pp == param and k.startswith("sc_")}
    text = ["## System calls per round trip and per connection",
            "",
            f"`strace -c -f -p PID` on the relaying process while one client makes "
            f"{meta.get('syscall_round_trips')} round trips as in 2 (calls divided by the round "
            "trips; each round trip crosses the relaying process twice, client to upstream and "
            f"back), and while a connection-rate run as in 5 ({meta.get('conn_seconds')} s, 8 in "
            "flight) goes on (calls divided by the connections made). One run each; strace slows "
            "the process, so only the counts mean anything.",
            ""]
    for param, title in (("rt", "per round trip"), ("conn", "per connection")):
        cols = [t for t in targets if (t, param) in per]
        if not cols:
            continue
        calls = sorted({c for t in cols for c in per[(t, param)]},
                       key=lambda c: -max(per[(t, param)].get(c, 0) for t in cols))
        rows = [[c] + [fmt(per[(t, param)].get(c), 2) if per[(t, param)].get(c) else "–" for t in cols]
                for c in calls if max(per[(t, param)].get(c, 0) for t in cols) >= 0.005]
        rows.append(["**total**"] + [fmt(sum(per[(t, param)].values()), 2) for t in cols])
        text += [f"**{title}**", "", table(["call"] + cols, rows), ""]
    return "\n".join(text)


class Verdicts:
    def __init__(self):
        self.rows = []

    def add(self, name, measured, goal, ok):
        if ok is None:
            verdict = "NOT MEASURED"
        else:
            verdict = "MET" if ok else "MISSED"
        self.rows.append((name, measured, goal, verdict))

    def counts(self):
        met = sum(1 for r in self.rows if r[3] == "MET")
        return met, len(self.rows)


def table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for r in rows:
        out.append("| " + " | ".join(str(c) for c in r) + " |")
    return "\n".join(out)


def build(samples, meta):
    v = Verdicts()
    sections = []
    has_relay = meta.get("peers_only", "0") != "1"

    # 1) Throughput.
    rows = []
    for t in samples.targets("thru"):
        rows.append([t] + [
            f"{fmt(samples.median('thru', t, d, 'gbps'))} ({spread(samples.all('thru', t, d, 'gbps'))})"
            for d in ("fwd", "rev")])
    text = ["## 1. Bulk throughput, one flow (iperf3, Gbit/s)",
            "",
            f"`iperf3 -c 127.0.0.1 -t {meta.get('iperf_seconds')}` through each path to the same "
            "`iperf3 -s`; fwd = client to upstream, rev = upstream to client (`-R`). "
            "Median (min – max) of the repeats.",
            "",
            table(["path", "fwd", "rev"], rows)]
    ratio_rows = []
    has_floor = "floor" in samples.targets("thru")
    for d, label in (("fwd", "client → upstream"), ("rev", "upstream → client")):
        relay = samples.median("thru", "relay", d, "gbps")
        direct = samples.median("thru", "direct", d, "gbps")
        floor = samples.median("thru", "floor", d, "gbps")
        peers = [x for x in (samples.median("thru", "socat", d, "gbps"),
                             samples.median("thru", "haproxy", d, "gbps")) if x is not None]
        best = max(peers) if peers else None
        r_direct, r_peer = ratio(relay, direct), ratio(relay, best)
        ratio_rows.append([label, fmt(r_direct)] + ([fmt(ratio(relay, floor)), fmt(ratio(floor, direct))]
                                                    if has_floor else []) + [fmt(r_peer)])
        if has_relay:
            add_ratio(v, f"throughput {d}: relay / floor", relay, floor, 2, " Gbit/s", ">= 0.9x",
                      lambda r: r >= 0.9)
    if has_relay:
        text += ["", table(["direction", "relay / direct"] +
                           (["relay / floor", "floor / direct"] if has_floor else []) +
                           ["relay / max(socat, haproxy)"], ratio_rows)]
    cost_rows = []
    for t in samples.targets("thru"):
        if t == "direct":
            continue
        cost_rows.append([t] + [fmt(samples.median("thru", t, d, "cpu_ms_per_gb"), 0)
                                for d in ("fwd", "rev")])
    if cost_rows:
        text += ["", "CPU time of the relaying process per GB moved (ms, median; socat "
                 "includes its per-connection child; 10 ms resolution):", "",
                 table(["path", "fwd", "rev"], cost_rows)]
    sections.append("\n".join(text))

    # 2) Latency: judged on the pinned runs, where every path has the same
    # placement; the free runs are shown beside them.
    text = ["## 2. Latency of short lines (µs)",
            "",
            f"One connection to the echo server, an 80-byte line (CRLF-terminated) and its echo, "
            f"{meta.get('lat_count')} round trips after {meta.get('warmup')} unmeasured ones. "
            "Median over the repeats of each run's p50 and p99. *pinned*: the load generator, "
            f"the relaying process and echod all on core {meta.get('pin_cpu', '?')}, so every path "
            "has the same placement (the targets are judged on these); *free*: placed by the "
            "scheduler, where a wake-up that crosses to the other core costs tens of µs on this "
            "VM, so these vary with placement more than with the path.",
            ""]
    has_floor = "floor" in samples.targets("lat")
    for mode in ("pinned", "free"):
        rows = []
        d50 = samples.median("lat", "direct", mode, "p50_us")
        d99 = samples.median("lat", "direct", mode, "p99_us")
        f50 = samples.median("lat", "floor", mode, "p50_us")
        for t in samples.targets("lat"):
            p50 = samples.median("lat", t, mode, "p50_us")
            p99 = samples.median("lat", t, mode, "p99_us")
            rows.append([t, fmt(p50, 1), fmt(p99, 1), fmt(ratio(p50, d50)), fmt(ratio(p99, d99))] +
                        ([fmt(ratio(p50, f50))] if has_floor else []))
        text += [f"**{mode}**", "",
                 table(["path", "p50", "p99", "p50 / direct", "p99 / direct"] +
                       (["p50 / floor"] if has_floor else []), rows), ""]
    sections.append("\n".join(text))
    if has_relay:
        r50 = samples.median("lat", "relay", "pinned", "p50_us")
        r99 = samples.median("lat", "relay", "pinned", "p99_us")
        add_ratio(v, "latency p50 (pinned): relay / floor", r50, samples.median("lat", "floor", "pinned", "p50_us"),
                  1, " µs", "<= 1.05x", lambda r: r <= 1.05)
        rh = ratio(r50, samples.median("lat", "haproxy", "pinned", "p50_us"))
        v.add("latency p50 (pinned): relay / haproxy", times(rh), "<= 0.95x",
              None if rh is None else rh <= 0.95)
        for q, rv in (("p99", r99),):
            peers = [samples.median("lat", t, "pinned", f"{q}_us") for t in ("socat", "haproxy")]
            peers = [p for p in peers if p is not None]
            ok = None if rv is None or len(peers) < 2 else rv < min(peers)
            v.add(f"latency {q} (pinned): relay below socat and haproxy",
                  f"{fmt(rv, 1)} µs vs {' / '.join(fmt(p, 1) for p in peers)} µs", "below both", ok)

    # 3) Busy client with idle clients.
    idle_targets = samples.targets("idle")
    counts = sorted({int(k[2]) for k in samples.values if k[0] == "idle"} |
                    {int(k[2]) for k in samples.errors if k[0] == "idle"})
    rows = []
    for n in counts:
        row = [f"{n:,}"]
        for t in idle_targets:
            p50 = samples.median("idle", t, str(n), "p50_us")
            p99 = samples.median("idle", t, str(n), "p99_us")
            paired = samples.paired_ratio("idle", t, str(n), "p50_us", "base_p50_us")
            row += [fmt(p50, 1), fmt(p99, 1), fmt(paired)]
        rows.append(row)
    header = ["idle clients"]
    for t in idle_targets:
        header += [f"{t} p50", f"{t} p99", f"{t} p50 with / without"]
    sections.append("\n".join([
        "## 3. One busy client's round trip with idle clients connected (µs)",
        "",
        f"A fresh relay (and floor relay and haproxy, for reference) for every run. In each run "
        "one client first "
        f"does {meta.get('busy_count')} round trips as in 2 (pinned) with no other client "
        "connected; then "
        "the idle clients connect, each sends one short line, gets its echo and stays silent; "
        "then the busy client does the same round trips again. \"p50 with / without\" is the "
        "median over the runs of the ratio of those two p50s, taken seconds apart on the same "
        "relay, which cancels most of the drift in the machine's background load; at 0 idle "
        "clients it shows the noise floor.",
        "",
        table(header, rows)]))
    if has_relay and counts:
        top = max(counts)
        r = samples.paired_ratio("idle", "relay", str(top), "p50_us", "base_p50_us")
        v.add(f"busy RTT p50 with {top:,} idle / without (same run)", times(r), "<= 1.5x",
              None if r is None else r <= 1.5)

    # 4) Memory per idle client.
    rows = []
    for t in idle_targets:
        base = samples.median("idle", t, "0", "rss_before_kb")
        row = [t, fmt(base, 0)]
        for n in counts:
            if n == 0:
                continue
            row.append(size_text(samples.median("idle", t, str(n), "rss_per_client_b")))
        rows.append(row)
    sections.append("\n".join([
        "## 4. Resident memory per idle client",
        "",
        "VmRSS of the relaying process after the idle clients are connected (and 0.5 s "
        "settled), minus before, divided by their number. Median of the repeats. This is the "
        "process's own memory; the kernel's socket buffers are not part of RSS.",
        "",
        table(["process", "RSS at start (KiB)"] + [f"per client at {n:,}" for n in counts if n],
              rows)]))
    if has_relay and counts:
        top = max(counts)
        per = samples.median("idle", "relay", str(top), "rss_per_client_b")
        v.add(f"RSS per idle client at {top:,}",
              f"{fmt(per, 0)} B" if per is not None else "n/a", "<= 8 KiB (8192 B)",
              None if per is None else per <= 8192)

    # 5) Connection rate.
    hap = samples.median("conn", "haproxy", "-", "conns_per_sec")
    sections.append("\n".join([
        "## 5. Connection rate (connections per second)",
        "",
        f"Connect, send one line, read its echo, close; 8 in flight, {meta.get('conn_seconds')} s "
        "per run. CPU time of the relaying process per connection (socat includes its "
        "per-connection children).",
        "",
        connrate_table(samples, "conn")]))
    if has_relay:
        rel = samples.median("conn", "relay", "-", "conns_per_sec")
        floor_rate = samples.median("conn", "floor", "-", "conns_per_sec")
        add_ratio(v, "connection rate: relay / floor", rel, floor_rate, 0, "/s", ">= 0.95x", lambda r: r >= 0.95)
        rc = samples.median("conn", "relay", "-", "cpu_us_per_conn")
        hc = samples.median("conn", "haproxy", "-", "cpu_us_per_conn")
        add_ratio(v, "CPU per connection: relay / floor", rc, samples.median("conn", "floor", "-", "cpu_us_per_conn"),
                  0, " µs", "<= 1.1x", lambda r: r <= 1.1)
        v.add("CPU per connection: relay vs haproxy", f"{fmt(rc, 0)} vs {fmt(hc, 0)} µs", "no more",
              None if rc is None or hc is None else rc <= hc)

    # System calls per round trip and per connection.
    text = syscall_section(samples, meta)
    if text:
        sections.append(text)

    # 6) Idle CPU.
    n = meta.get("cpu_idle_clients", "100")
    cpu_targets = samples.targets("cpu")
    if cpu_targets:
        rows = []
        for t in cpu_targets:
            ticks = samples.all("cpu", t, n, "cpu_ticks")
            wake = samples.all("cpu", t, n, "wakeups")
            rows.append([t, len(ticks), ", ".join(fmt(x, 0) for x in ticks) or "n/a",
                         ", ".join(fmt(x, 0) for x in wake) or "n/a"])
        sections.append("\n".join([
            "## 6. Idle CPU",
            "",
            f"Each process ({', '.join(cpu_targets)}) freshly started, with {n} idle clients for "
            f"{meta.get('cpu_seconds')} s: CPU ticks "
            "(utime + stime from /proc/PID/stat, 1 tick = 10 ms) and context switches "
            "(every wake-up of any of its threads) in that window.",
            "",
            table(["process", "runs", "ticks per run", "wake-ups per run"], rows)]))
    if has_relay:
        ticks = samples.all("cpu", "relay", n, "cpu_ticks")
        worst = max(ticks) if ticks else None
        v.add(f"idle CPU with {n} idle clients", f"{fmt(worst, 0)} ticks (worst run)", "0 ticks",
              None if worst is None else worst == 0)

    if meta.get("tls", "0") == "1":
        sections += tls_sections(samples, meta, v, has_relay)
    if meta.get("proxy", "0") == "1":
        sections.append(proxy_section(samples, meta))
    return sections, v


def tls_sections(samples, meta, v, has_relay):
    """7-9: the same client side, with a TLS upstream."""
    sections = ["\n".join([
        "## TLS to the upstream",
        "",
        "The clients speak plaintext to each relaying process, which speaks TLS to one TLS echo "
        f"server (the bench's echod with `--tls`, OpenSSL {meta.get('openssl', '?')}, TLS 1.3, "
        "an ECDSA P-256 certificate for 127.0.0.1 from a CA made for the run; session tickets "
        "sent, sessions never resumed, so every connection is a full handshake). Each process "
        "checks the certificate against that CA: the relay with the port `+N` and "
        "`SSL_CERT_FILE` set to the CA (the name checked too), socat with "
        "`OPENSSL:127.0.0.1:N,verify=1,cafile=CA`, haproxy with "
        "`server ... ssl verify required ca-file CA no-ssl-reuse`."])]

    # 7) Throughput.
    rows = []
    for t in samples.targets("tls_thru"):
        vals = samples.all("tls_thru", t, "echo", "gbps")
        rows.append([t, fmt(samples.median("tls_thru", t, "echo", "gbps")), spread(vals),
                     fmt(samples.median("tls_thru", t, "echo", "cpu_ms_per_gb"), 0)])
    relay = samples.median("tls_thru", "relay", "echo", "gbps")
    peers = [x for x in (samples.median("tls_thru", "socat", "echo", "gbps"),
                         samples.median("tls_thru", "haproxy", "echo", "gbps")) if x is not None]
    best = max(peers) if peers else None
    r_peer = ratio(relay, best)
    text = ["## 7. TLS throughput, one flow (Gbit/s)",
            "",
            f"`loadgen stream`: one connection sends a byte pattern for {meta.get('stream_seconds')} s "
            "(after 0.5 s unmeasured) as fast as the path takes it and reads the echo, checking "
            "every byte; the rate of echoed bytes. Every byte is encrypted on its way to the "
            "server and decrypted on its way back, by the same process. CPU time of the relaying "
            "process per GB echoed (socat includes its per-connection child; 10 ms resolution).",
            "",
            table(["path", "median", "min – max", "CPU ms per GB"], rows)]
    if has_relay:
        text += ["", f"relay / max(socat, haproxy): **{fmt(r_peer)}**"]
        v.add("TLS throughput: relay / max(socat, haproxy)", times(r_peer), ">= 1.2x",
              None if r_peer is None else r_peer >= 1.2)
    sections.append("\n".join(text))

    # 8) Handshakes.
    hap = samples.median("tls_conn", "haproxy", "-", "conns_per_sec")
    sections.append("\n".join([
        "## 8. TLS handshakes per second",
        "",
        "As in 5 (connect, one line and its echo, close; 8 in flight, "
        f"{meta.get('conn_seconds')} s per run), each new client causing a full TLS handshake "
        "upstream. The echo server's handshakes share the same two cores.",
        "",
        connrate_table(samples, "tls_conn")]))
    if has_relay:
        r = ratio(samples.median("tls_conn", "relay", "-", "conns_per_sec"), hap)
        v.add("TLS handshake rate: relay / haproxy", times(r), ">= 1.0x",
              None if r is None else r >= 1.0)

    # 9) Memory per idle TLS client.
    n = meta.get("tls_idle_clients", "1000")
    rows = []
    for t in samples.targets("tls_idle"):
        rows.append([t] + idle_memory(samples, "tls_idle", t, n) +
                    [fmt(samples.median("tls_idle", t, n, "p50_us"), 1),
                     fmt(samples.paired_ratio("tls_idle", t, n, "p50_us", "base_p50_us"))])
    sections.append("\n".join([
        f"## 9. Resident memory per idle TLS client at {int(n):,}",
        "",
        "A fresh process for every run. One client first does "
        f"{meta.get('busy_count')} round trips (so whatever the first TLS connection sets up "
        "once, such as the relay's TLS context, is in the \"before\" figure); then the idle "
        "clients connect, and each one's upstream handshake is done and one short line echoed "
        "through it before it falls silent. VmRSS after (0.5 s settled) minus before, divided "
        "by their number: everything the process holds for them, OpenSSL's state included. "
        "The busy client's p50 round trip with them connected, and its ratio to the one "
        "before, as in 3.",
        "",
        table(["process", "RSS before (KiB)", "per client (median)", "min – max (KiB)",
               "busy p50 (µs)", "p50 with / without"], rows)]))
    if has_relay:
        per = samples.median("tls_idle", "relay", n, "rss_per_client_b")
        v.add(f"RSS per idle TLS client at {int(n):,}",
              f"{fmt(per, 0)} B" if per is not None else "n/a", "<= 24 KiB (24576 B)",
              None if per is None else per <= 24576)

    # 10) TLS to the clients as well.
    rows = []
    for t in samples.targets("tls_both_idle"):
        both = samples.median("tls_both_idle", t, n, "rss_per_client_b")
        upstream = samples.median("tls_idle", t, n, "rss_per_client_b")
        rows.append([t] + idle_memory(samples, "tls_both_idle", t, n) +
                    [f"{fmt(upstream, 0)} B", fmt(ratio(both, upstream))])
    rate_ratios = ", ".join(
        f"{t} {fmt(ratio(samples.median('tls_both_conn', t, '-', 'conns_per_sec'), samples.median('tls_conn', t, '-', 'conns_per_sec')))}"
        for t in samples.targets("tls_both_conn"))
    sections.append("\n".join([
        "## 10. TLS on both sides",
        "",
        "The clients speak TLS to the relaying process as well (the load generator's `--tls`: no "
        "certificate check, no session kept, so every connection is a full handshake), which "
        "speaks verified TLS to echod as in 7-9. Both present the certificate made for the run: "
        "the relay on the listen port `127.0.0.1:+PORT` with `--listen-certificate` and `--listen-key`, "
        "haproxy with `bind 127.0.0.1:PORT ssl crt FILE`. socat is left out.",
        "",
        f"**Resident memory per idle client at {int(n):,}**, measured as in 9 (the busy client's "
        "round trips, and the idle clients' hellos, over TLS too); \"upstream only\" is 9's "
        "figure from this same run.",
        "",
        table(["process", "RSS before (KiB)", "per client, both sides (median)", "min – max (KiB)",
               "per client, upstream only", "both / upstream only"], rows),
        "",
        f"**Handshakes per second**, as in 8 ({meta.get('conn_seconds')} s per run, 8 in flight), "
        "each connection costing two full handshakes, the client's with the relaying process "
        "and that process's with echod; CPU time of the relaying process per connection.",
        "",
        connrate_table(samples, "tls_both_conn"),
        "",
        f"Connections per second, both sides / upstream only (8): {rate_ratios or 'n/a'}."]))
    return sections


def proxy_section(samples, meta):
    """11: the relay reaching its upstream through a SOCKS5 proxy."""
    lat_rows = []
    for t in samples.targets("proxy_lat"):
        lat_rows.append([t, fmt(samples.median("proxy_lat", t, "pinned", "p50_us"), 1),
                         fmt(samples.median("proxy_lat", t, "pinned", "p99_us"), 1)])
    added = {q: None for q in ("p50", "p99")}
    for q in added:
        a = samples.median("proxy_lat", "relay+proxy", "pinned", f"{q}_us")
        b = samples.median("proxy_lat", "proxy", "pinned", f"{q}_us")
        added[q] = None if a is None or b is None else a - b
    base = samples.median("proxy_conn", "proxy", "-", "conns_per_sec")
    conn_rows = []
    for t in samples.targets("proxy_conn"):
        med = samples.median("proxy_conn", t, "-", "conns_per_sec")
        conn_rows.append([t, fmt(med, 0), spread(samples.all("proxy_conn", t, "-", "conns_per_sec"), 0),
                          fmt(ratio(med, base)),
                          fmt(samples.median("proxy_conn", t, "-", "cpu_us_per_conn"), 0),
                          fmt(samples.median("proxy_conn", t, "-", "proxy_cpu_us_per_conn"), 0),
                          fmt(sum(samples.all("proxy_conn", t, "-", "errors")), 0)])
    rate = ratio(samples.median("proxy_conn", "relay+proxy", "-", "conns_per_sec"), base)
    return "\n".join([
        "## 11. Through a SOCKS5 proxy",
        "",
        f"One echod behind microsocks {meta.get('microsocks', '')} (`microsocks -i 127.0.0.1 -p "
        "PORT`: no login, a thread per connection). *proxy*: the load generator speaks SOCKS5 to "
        "microsocks itself (greeting without authentication, then CONNECT to 127.0.0.1 and "
        "echod's port by address) and then does its work through it; *relay+proxy*: plaintext "
        "clients connect to the relay started with `--proxy socks5://127.0.0.1:PORT`, which makes "
        "the same request for each of them. The difference is what the relay adds.",
        "",
        f"**Latency**, as in 2, pinned: the load generator, the relay, microsocks (with the threads "
        f"it starts) and echod all on core {meta.get('pin_cpu', '?')}; {meta.get('lat_count')} "
        f"round trips after {meta.get('warmup')} unmeasured ones, µs.",
        "",
        table(["path", "p50", "p99"], lat_rows),
        "",
        f"The relay adds **{fmt(added['p50'], 1)} µs** at p50 ({fmt(added['p99'], 1)} µs at p99).",
        "",
        f"**Connection rate**, as in 5 ({meta.get('conn_seconds')} s per run, 8 in flight), the "
        "SOCKS5 exchange part of every connection; CPU time per connection of the relay and of "
        "microsocks.",
        "",
        table(["path", "median", "min – max", "/ proxy", "relay CPU µs per connection",
               "microsocks CPU µs per connection", "errors"], conn_rows),
        "",
        f"relay+proxy / proxy: **{fmt(rate)}**"])


def plot(samples, meta, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tls = meta.get("tls", "0") == "1"
    fig, axes = plt.subplots(3 if tls else 2, 3, figsize=(16, 13.5 if tls else 9))
    fig.suptitle(f"Relay benchmark — {meta.get('date', '')}, {meta.get('nproc', '?')} cores, "
                 f"{meta.get('repeats', '?')} repeats (bars: median, whiskers: min–max)")

    def bars(ax, groups, targets, getter, ylabel, title, log=False):
        width = 0.8 / max(1, len(targets))
        for i, t in enumerate(targets):
            meds, lo, hi = [], [], []
            for g in groups:
                vals = getter(t, g)
                m = statistics.median(vals) if vals else 0
                meds.append(m)
                lo.append(m - min(vals) if vals else 0)
                hi.append(max(vals) - m if vals else 0)
            xs = [j + (i - (len(targets) - 1) / 2) * width for j in range(len(groups))]
            ax.bar(xs, meds, width, yerr=[lo, hi], capsize=3, label=t, color=COLOURS.get(t))
        ax.set_xticks(range(len(groups)))
        ax.set_xticklabels(groups)
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        if log:
            ax.set_yscale("log")
        ax.legend(fontsize=8)
        ax.grid(axis="y", alpha=0.3)

    bars(axes[0][0], ["fwd", "rev"], samples.targets("thru"),
         lambda t, g: samples.all("thru", t, g, "gbps"), "Gbit/s", "Bulk throughput (iperf3)")
    bars(axes[0][1], ["p50 pinned", "p99 pinned", "p50 free", "p99 free"], samples.targets("lat"),
         lambda t, g: samples.all("lat", t, g.split()[1], f"{g.split()[0]}_us"), "µs",
         "Short-line round trip")
    bars(axes[1][0], ["conn/s"], samples.targets("conn"),
         lambda t, g: samples.all("conn", t, "-", "conns_per_sec"), "connections / s",
         "Connection rate (8 in flight)")

    ax = axes[0][2]
    counts = sorted({int(k[2]) for k in samples.values if k[0] == "idle"})
    for t in samples.targets("idle"):
        for q, style in (("p50", "-o"), ("p99", "--s")):
            ys = [samples.median("idle", t, str(n), f"{q}_us") for n in counts]
            pts = [(n, y) for n, y in zip(counts, ys) if y is not None]
            if pts:
                ax.plot([p[0] for p in pts], [p[1] for p in pts], style, color=COLOURS.get(t),
                        label=f"{t} {q}")
    ax.set_xlabel("idle clients")
    ax.set_ylabel("µs")
    ax.set_ylim(bottom=0)
    ax.set_title("Busy client round trip vs idle clients")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)

    bars(axes[1][1], [f"{n:,}" for n in counts if n], samples.targets("idle"),
         lambda t, g: [x / 1024 for x in samples.all("idle", t, g.replace(",", ""), "rss_per_client_b")],
         "KiB", "Resident memory per idle client")
    axes[1][1].axhline(8, color="black", linestyle=":", linewidth=1)

    # Idle CPU: per run, the CPU ticks and wake-ups of each process side by side.
    ax = axes[1][2]
    n = meta.get("cpu_idle_clients", "100")
    cpu_targets = [t for t in samples.targets("cpu") if samples.all("cpu", t, n, "cpu_ticks")]
    if cpu_targets:
        runs = max(len(samples.all("cpu", t, n, "cpu_ticks")) for t in cpu_targets)
        width = 0.8 / (2 * len(cpu_targets))
        top = 1
        for i, t in enumerate(cpu_targets):
            for j, (key, label, alpha) in enumerate((("cpu_ticks", "CPU ticks", 1.0),
                                                     ("wakeups", "wake-ups", 0.45))):
                vals = samples.all("cpu", t, n, key)
                offset = (2 * i + j - (2 * len(cpu_targets) - 1) / 2) * width
                xs = [x + 1 + offset for x in range(len(vals))]
                ax.bar(xs, vals, width, label=f"{t} {label}", color=COLOURS.get(t), alpha=alpha)
                for x, y in zip(xs, vals):
                    ax.text(x, y, f"{y:.0f}", ha="center", va="bottom", fontsize=8)
                top = max([top] + list(vals))
        ax.set_xticks(list(range(1, runs + 1)))
        ax.set_xlabel("run")
        ax.legend(fontsize=8)
        ax.set_ylim(0, top * 1.2 + 1)
    else:
        ax.text(0.5, 0.5, "not measured", ha="center", va="center", transform=ax.transAxes)
    ax.set_title(f"Idle: {n} clients, {meta.get('cpu_seconds', '?')} s")
    ax.grid(axis="y", alpha=0.3)

    if tls:
        n = meta.get("tls_idle_clients", "1000")
        bars(axes[2][0], ["echo"], samples.targets("tls_thru"),
             lambda t, g: samples.all("tls_thru", t, g, "gbps"), "Gbit/s",
             "TLS upstream: throughput (echo stream)")
        bars(axes[2][1], ["handshakes/s"], samples.targets("tls_conn"),
             lambda t, g: samples.all("tls_conn", t, "-", "conns_per_sec"), "connections / s",
             "TLS upstream: new connections (8 in flight)")
        bars(axes[2][2], [f"{int(n):,}"], samples.targets("tls_idle"),
             lambda t, g: [x / 1024 for x in samples.all("tls_idle", t, n, "rss_per_client_b")],
             "KiB", "TLS upstream: resident memory per idle client")
        axes[2][2].axhline(24, color="black", linestyle=":", linewidth=1)

    fig.tight_layout(rect=(0, 0, 1, 0.97 if tls else 0.96))
    fig.savefig(path, dpi=90)


def iperf_summary(path, ticks0, ticks1, target):
    """key=value pairs for one iperf3 run: throughput, and the CPU time the
    relaying process spent per GB moved (not for direct, where nothing relays)."""
    import json
    s = json.load(open(path))["end"]["sum_received"]
    out = [f"gbps={s['bits_per_second'] / 1e9:.4f}"]
    if target != "direct" and s["bytes"] > 0:
        ms = (int(ticks1) - int(ticks0)) * 1000 / os.sysconf("SC_CLK_TCK")
        out.append(f"cpu_ms_per_gb={ms / (s['bytes'] / 1e9):.1f}")
    print(" ".join(out))


def main():
    import sys
    if len(sys.argv) == 6 and sys.argv[1] == "iperf":
        iperf_summary(*sys.argv[2:])
        return
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--samples", required=True)
    ap.add_argument("--meta", required=True)
    ap.add_argument("--markdown", required=True)
    ap.add_argument("--plot", required=True)
    args = ap.parse_args()

    samples = Samples(args.samples)
    meta = read_meta(args.meta)
    floor_source = os.path.normpath(meta.get("floor_source", "")) if meta.get("floor_source") else "?"
    sections, verdicts = build(samples, meta)
    met, total = verdicts.counts()

    lines = [
        "# Relay benchmark results",
        "",
        f"- Date: {meta.get('date')}",
        f"- Machine: {meta.get('nproc')} cores, {meta.get('cpu')}, {meta.get('kernel')}; "
        f"load average (1, 5, 15 min) {meta.get('loadavg_start')} at the start, "
        f"{meta.get('loadavg_end')} at the end",
        f"- Command: `{meta.get('command')}` (commit {meta.get('commit')}); "
        f"{meta.get('repeats')} repeat(s), {meta.get('elapsed_seconds')} s of measuring",
        "- Rows, the binary and the event loop of each: **relay** is `pelk-bouncer`, the "
        "program users run, window and all, started headless (`QT_QPA_PLATFORM=offscreen`) by "
        "its command line (`--listen-port 127.0.0.1:PORT --server 127.0.0.1 --port UP --start`, "
        "with `+` before a port that speaks TLS), on Qt's plain event dispatcher (`QT_NO_GLIB`) "
        "with the relay's epoll set as one watched descriptor (one socket notifier: Qt's "
        "`poll()` wakes the loop, then one non-blocking `epoll_wait` per pass); "
        "**floor** is the floor relay, a bare single-threaded epoll relay without features "
        "(one `epoll_wait` per wake-up), the lowest cost a relay can reach on this machine"
        + (f", built for the run with `gcc -O2` from `{floor_source}` (SHA-256 "
           f"{meta.get('floor_sha256', '?')}…); plain TCP only, so it is not in the TLS and "
           "SOCKS5 phases" if meta.get("floor") == "1" else "")
        + "; **haproxy** runs one thread; **socat** forks a process per connection; **direct** "
        "is no relay at all, the load generator talking to the upstream itself.",
        f"- Peers: socat {meta.get('socat')} (`-b 262144`, fork per connection), "
        f"haproxy {meta.get('haproxy')} (nbthread 1, mode tcp, default buffers), "
        f"iperf3 {meta.get('iperf3')}; all on 127.0.0.1",
        "- Figures are medians over the repeats; ratios are ratios of medians from this same "
        "run. Target processes and load generators share the machine's cores; all of them ran "
        f"at {meta.get('priority', 'nice 0')}.",
    ]
    if meta.get("quick") == "1":
        lines.append("- **Quick smoke run** (`--quick`): one repeat, short durations; "
                     "not for judging the targets.")
    if meta.get("peers_only") == "1":
        lines.append("- **Peers only** (`--peers-only`): the relay was not built or measured.")
    if meta.get("floor") != "1":
        lines.append(f"- **No floor relay in this run**: {meta.get('floor_note') or 'not built'}. "
                     "Its rows are missing, and the targets judged against it are not measured.")
    if total:
        lines += ["", f"## Targets: {met} of {total} met", "",
                  table(["target", "measured", "goal", "verdict"], verdicts.rows), ""]
    else:
        lines += ["", "## Targets: not judged (the relay was not measured)", ""]
    errs = {k: e for k, e in samples.errors.items() if e}
    if errs:
        lines += ["### Failed measurements", ""]
        for (phase, target, param), msgs in sorted(errs.items()):
            lines.append(f"- {phase} {target} {param}: {len(msgs)} failed — {msgs[0]}")
        lines.append("")
    for s in sections:
        lines += [s, ""]
    lines += ["![results](results.png)", ""]
    with open(args.markdown, "w") as f:
        f.write("\n".join(lines))
    plot(samples, meta, args.plot)
    print(f"targets met: {met} of {total}")


if __name__ == "__main__":
    main()
