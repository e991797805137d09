#!/usr/bin/env python3
"""Prints the one table of `make bench` from the JSON files the benchmark programs wrote.

Every figure stands next to its floor measured in the same run, as a ratio, with its target.
Usage: report.py RESULTS_DIR
"""
import json
import math
import pathlib
import sys


def load(folder):
    """name -> benchmark entry; for repeated runs the median aggregate."""
    runs = {}
    for path in sorted(pathlib.Path(folder).glob("*.json")):
        try:
            data = json.loads(path.read_text())
        except (OSError, ValueError):
            continue
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                runs.setdefault(b["run_name"], {"error": b.get("error_message", "failed")})
                continue
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            runs[b["run_name"]] = b
    return runs


def find(runs, prefix):
    for name, b in runs.items():
        if name == prefix or name.startswith(prefix + "/"):
            return b
    return None


def value(runs, prefix, key):
    b = find(runs, prefix)
    if b is None or "error" in b:
        return None
    if key == "real_time_us":
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
        return b["real_time"] * scale
    return b.get(key)


def error(runs, prefix):
    b = find(runs, prefix)
    if b is None:
        return "not measured"
    return b.get("error")


rows = []
straddling = []


def fmt_value(v, unit):
    return f"{v:,.0f} {unit}" if abs(v) >= 100 else f"{v:.2f} {unit}"


def rounds_row(figure, runs, bench, unit, target, target_text, prefix="", lower_is_better=True,
               report_only=False, scale=1.0):
    """A figure measured next to its floor in interleaved rounds (bench/support/rounds.h).

    The verdict is on the median of the rounds' ratios; the spread is their lowest and highest.
    `target` bounds that ratio (the bench computes each round's ratio the way the target reads).
    """
    b = find(runs, bench)
    if b is None or "error" in b or b.get(prefix + "ratio") is None:
        note = (b or {}).get("error") if b else "not measured"
        rows.append((figure, note or "not measured", "", "", "", "", "-" if report_only else "MISSED"))
        return
    measured, floor = b[prefix + "figure"] * scale, b[prefix + "floor"] * scale
    ratio, low, high = b[prefix + "ratio"], b[prefix + "ratio_min"], b[prefix + "ratio_max"]
    spread = f"{low:.2f}-{high:.2f}"
    rounds = int(b.get(prefix + "rounds", 0))
    if report_only:
        rows.append((figure, fmt_value(measured, unit), fmt_value(floor, unit), f"{ratio:.2f}x",
                     spread, "report", "-"))
        return
    met = ratio <= target if lower_is_better else ratio >= target
    if (low <= target <= high):
        straddling.append(f"{figure}: ratios {spread} over {rounds} rounds straddle {target:g}")
    rows.append((figure, fmt_value(measured, unit), fmt_value(floor, unit), f"{ratio:.2f}x", spread,
                 target_text, "met" if met else "MISSED"))


def row(figure, measured, baseline, unit, ratio_target=None, absolute_target=None,
        lower_is_better=True, note_missing=None, report_only=False):
    """ratio_target: bound on measured/baseline; absolute_target: (text, bound) on measured."""
    if measured is None:
        rows.append((figure, note_missing or "not measured", "", "", "", "", "-" if report_only else "MISSED"))
        return
    fmt = (lambda v: f"{v:,.0f} {unit}") if measured >= 100 else (lambda v: f"{v:.2f} {unit}")
    base_text = fmt(baseline) if baseline is not None else "-"
    ratio = measured / baseline if baseline else None
    ratio_text = f"{ratio:.2f}x" if ratio is not None else "-"
    if report_only:
        rows.append((figure, fmt(measured), base_text, ratio_text, "-", "report", "-"))
        return
    if ratio_target is not None:
        target_text = ("<= " if lower_is_better else ">= ") + f"{ratio_target:g}x"
        met = ratio is not None and (ratio <= ratio_target if lower_is_better else ratio >= ratio_target)
    else:
        text, bound = absolute_target
        target_text = text
        met = measured <= bound if lower_is_better else measured >= bound
    rows.append((figure, fmt(measured), base_text, ratio_text, "-", target_text, "met" if met else "MISSED"))


def scale_out_model(runs):
    """Lines sizing a directory of 10^5..10^7 users from this run's CPU time per g.php lookup.

    Every logged-in messenger looks up each of its friends once a minute: users x 30 / 60
    lookups per second. A machine has two cores here and is planned at 70 % busy.
    """
    directory = value(runs, "Gphp_Postgres", "directory_cpu_us_per_request")
    database = value(runs, "Gphp_Postgres", "database_cpu_us_per_request")
    if not directory or not database:
        return ["Scale-out model: no CPU figures (Gphp_Postgres did not run)"]
    capacity = 2 * 1e6 * 0.7  # CPU microseconds per second of a 2-core machine at 70 %
    lines = [f"Scale-out model: users x 30 friends / 60 s lookups per second; this run's CPU per lookup: "
             f"directory {directory:.0f} us, PostgreSQL {database:.0f} us; 2-core machines at 70 %",
             f"{'users':>12}  {'lookups/s':>10}  {'directory processes (2-core machines)':>38}  {'database machines':>17}"]
    for users in (10**5, 10**6, 10**7):
        lookups = users * 30 / 60
        lines.append(f"{users:>12,}  {lookups:>10,.0f}  {math.ceil(lookups * directory / capacity):>38}  "
                     f"{math.ceil(lookups * database / capacity):>17}")
    return lines


def main():
    runs = load(sys.argv[1])

    # Enter in a conversation window -> the line in the partner's history.
    # Floors: a bare lookup and line; a bare held fetch woken by a bare deposit.
    conv = "EnterToPartnerHistory"
    rounds_row("Enter -> line in partner's history, sealed, median (floor: bare lookup + line)",
               runs, conv, "ms", 1.0, "<= 2 ms + 1.5x floor")
    rounds_row("Enter -> line in partner's history, sealed, p99 of 1 000 (floor: bare, p99)",
               runs, conv, "ms", 1.0, "<= 2 ms + 1.5x floor", prefix="p99_")
    rounds_row("Enter -> line, sealed, median (floor: the same line plain)", runs, conv, "ms", 1.0,
               "<= plain + 1 ms", prefix="plain_")
    rounds_row("Enter -> line through the directory's mailbox, median (floor: bare held fetch)",
               runs, conv, "ms", 1.0, "<= 20 ms", prefix="mailbox_")
    far = "EnterToPartnerHistory_FarDirectory"
    rounds_row("Enter -> line, directory 20 ms away, median (floor: bare lookup + line on loopback)",
               runs, far, "ms", 1.0, "<= 2 ms + proxy's delay + 1.5x floor")
    rounds_row("Bare lookup + line, directory 20 ms away (floor: on loopback; what the proxy adds)",
               runs, far, "ms", 1.0, "", prefix="proxy_", report_only=True)

    # A directory request at a call site next to a bare libcurl GET of the same address.
    rounds_row("Directory request at a call site (file + read-back) (floor: bare libcurl GET)", runs,
               "Request_CallSite", "us", 1.3, "<= 1.3x")

    # Presence runs, per friend, next to bare lookups and connects of the same friends.
    for n in (10, 100, 500):
        rounds_row(f"Presence run, {n} friends online, per friend (floor: bare lookup + connect)", runs,
                   f"PresenceRun_AllOnline/{n}", "us", 1.5, "<= 1.5x")
    for n in (10, 100, 500):
        rounds_row(f"First run after login, {n} offline (2 probes each), per friend "
                   f"(floor: 2 bare lookups + connects)", runs, f"PresenceRun_AfterLogin/{n}", "us", 1.5,
                   "<= 1.5x")
    bound_ms = value(runs, "PresenceRun_20Of100Unreachable", "connect_bound_ms")
    bound_text = f"{bound_ms:,.0f} ms" if bound_ms else "connect bound"
    rounds_row("Presence run, 20 unreachable among 100 (floor: the 80 reachable, bare)", runs,
               "PresenceRun_20Of100Unreachable", "ms", 1.0, f"<= {bound_text} + 1.5x floor")

    # The user-interface thread while a run is out with the directory 20 ms away: the largest gap
    # of a 5 ms timer on it, next to the same timer's largest gap with no run out.
    for name, label in (("FarRun_200Online", "200 friends online"),
                        ("FarRun_20Of100Unreachable", "20 of 100 friends unreachable")):
        rounds_row(f"Longest user-interface pause in a presence run, {label}, directory 20 ms away "
                   f"(floor: the timer idle)", runs, name, "ms", 1.0, "<= 50 ms", prefix="pause_")
    rounds_row("Presence run wall time, 200 friends online, directory 20 ms away (floor: 200 bare lookups)",
               runs, "FarRun_200Online", "ms", None, None, prefix="wall_", report_only=True)

    # The TCP endpoints next to bare sockets. A line lost or doubled makes the row an error.
    rounds_row("Listener: lines/s from 20 senders, 5 rounds of 5 000 lines, none lost "
               "(floor: bare accept loop)", runs, "ListenerLines", "lines/s", 0.5, ">= 0.5x",
               lower_is_better=False)
    rounds_row("One connect + SendLine + receive on loopback (floor: bare sockets)", runs, "RoundTrip",
               "us", None, None, report_only=True)

    # The directory server, each figure next to its floor in interleaved rounds (server_bench).
    rounds_row("Directory g.php requests/s, 16 keep-alive clients, 100 000 users (floor: bare libmicrohttpd)",
               runs, "Gphp_Directory", "req/s", 0.5, ">= 0.5x", lower_is_better=False)
    rounds_row("Directory g.php requests/s with 10 000 mailbox fetches held (floor: a server with none held)",
               runs, "Gphp_HeldFetches", "req/s", 0.8, ">= 0.8x", lower_is_better=False)
    rounds_row("Directory resident memory with 10 000 mailbox fetches held (floor: none held)",
               runs, "Gphp_HeldFetches", "MB", 0, "", prefix="rss_mb_", report_only=True)
    for prefix, label in (("median_", "median"), ("p99_", "p99"), ("hard_p99_", "p99 of the hard texts")):
        rounds_row(f"Directory s.php latency, 1 000 000 users, {label} (floor column: the bound; 4 rounds pooled)",
                   runs, "SearchLatency", "ms", 1.0, "< 5 ms", prefix=prefix)
    rounds_row("Directory g.php requests/s, PostgreSQL, 16 keep-alive clients, 100 000 users "
               "(floor: the same SELECT through libpq from 16 clients)",
               runs, "Gphp_Postgres", "req/s", 0.6, ">= 0.6x", lower_is_better=False)
    rounds_row("Directory g.php requests/s through nginx, 2 servers (floor: 1 server), PostgreSQL",
               runs, "Gphp_Nginx", "req/s", 0, "", report_only=True)
    for prefix, label in (("median_", "median"), ("p99_", "p99"), ("hard_p99_", "p99 of the hard texts")):
        rounds_row(f"Directory s.php latency, 1 000 000 users, PostgreSQL, {label} (floor column: the bound; 4 rounds pooled)",
                   runs, "SearchLatency_Postgres", "ms", 1.0, "< 5 ms", prefix=prefix)
    rounds_row("Directory c.php login p99, PostgreSQL (floor: SQLite; 2 000 logins pooled)",
               runs, "Login", "ms", 0, "", prefix="p99_", report_only=True)

    # Start-up: the messenger and both floors started in turn, 9 rounds of 5 starts each.
    rounds_row("Start-up to the login window shown, floor: an empty window (9 rounds of 5 starts)",
               runs, "StartUp_Messenger", "ms", 1.5, "<= 1.5x", prefix="window_")
    rounds_row("Start-up to the login window shown, floor: a dialog of the same controls, a second window "
               "built disabled, a tray icon (9 rounds of 5 starts)",
               runs, "StartUp_Messenger", "ms", 1.3, "<= 1.3x", prefix="floor_")
    rounds_row("First login, Enter -> main window titled, pressed as the window takes keys "
               "(floor: a bare libcurl GET of c.php)", runs, "FirstLogin", "ms", None, None,
               prefix="at_once_", report_only=True)
    rounds_row("First login, Enter -> main window titled, pressed 1 s after (floor: a bare libcurl GET of c.php)",
               runs, "FirstLogin", "ms", None, None, prefix="after_1s_", report_only=True)
    rounds_row("Resident memory, 1 000 friends, 20 conversation windows (floor: an empty window; 3 rounds)",
               runs, "Memory_ClientAfterLogin", "MB", None, None, report_only=True)

    model = scale_out_model(runs)

    header = ("Figure", "Measured", "Floor", "Ratio", "Spread", "Target", "")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    print()
    for text in model:
        print(text)
    missed = sum(1 for r in rows if r[6] == "MISSED")
    if straddling:
        print("\nRows whose rounds straddle their target (look into these):")
        for text in straddling:
            print("  " + text)
    print(f"\n{len(rows)} figures, {missed} missed")


if __name__ == "__main__":
    main()
