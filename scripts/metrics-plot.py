#!/usr/bin/python3
"""Scrapes the bridge's metrics endpoint during a run, and plots what it saw.

  metrics-plot.py scrape URL OUT.csv     one sample a second until stopped (SIGTERM)
  metrics-plot.py plot IN.csv OUT.svg [SOAK_REPORT]
                                         values per second per waveform and the
                                         unit's reply age; the faults listed in
                                         the soak report are marked
"""
import csv
import math
import re
import signal
import sys
import time
import urllib.request

WAVEFORMS = ["ABP", "PAP", "CVP", "PLETH", "CO2"]
WINDOW = 10  # scrapes


def scrape(url, out_path):
    from prometheus_client.parser import text_string_to_metric_families

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    start = time.monotonic()
    with open(out_path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["t"] + WAVEFORMS + ["reply_age", "rebuilds", "connects"])
        while not stopping:
            due = time.monotonic() + 1.0
            row = None
            try:
                with urllib.request.urlopen(url, timeout=2) as answer:
                    text = answer.read().decode("utf-8")
                values = {w: math.nan for w in WAVEFORMS}
                age, rebuilds, connects = math.nan, math.nan, 0.0
                for family in text_string_to_metric_families(text):
                    for s in family.samples:
                        if s.name == "psmr_waveform_values_total":
                            values[s.labels["waveform"]] = s.value
                        elif s.name == "psmr_unit_last_reply_age_seconds":
                            age = s.value
                        elif s.name == "psmr_unit_rebuilds_total":
                            rebuilds = s.value
                        elif s.name == "psmr_server_connects_total":
                            connects += s.value
                row = [round(time.monotonic() - start, 3)] + [values[w] for w in WAVEFORMS]
                row += [age, rebuilds, connects]
            except OSError:
                pass  # the bridge is starting or rebuilding: a gap in the plot
            if row:
                writer.writerow(row)
                out.flush()
            time.sleep(max(0.0, due - time.monotonic()))


def faults(report_path):
    """(seconds into the run, name) of each fault in a soak report."""
    found = []
    if report_path:
        with open(report_path) as f:
            for line in f:
                m = re.match(r"\s*\d+\s+(\d+) s\s+(\S+)", line)
                if m:
                    found.append((int(m.group(1)), m.group(2)))
    return found


def plot(in_path, out_path, report_path=None):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = list(csv.DictReader(open(in_path)))
    t = [float(r["t"]) / 60 for r in rows]
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(10, 6))
    styles = {"ABP": "-", "PAP": "--", "CVP": "-", "PLETH": ":", "CO2": "--"}
    for w in WAVEFORMS:
        # Over the last WINDOW scrapes, as Prometheus's rate() would: a block
        # carries about 150 ms of values, too coarse for one-second steps.
        rate = [math.nan] * min(WINDOW, len(rows))
        for a, b in zip(rows, rows[WINDOW:]):
            dt = float(b["t"]) - float(a["t"])
            dv = float(b[w]) - float(a[w])
            # A counter that went back (a new process) is no rate.
            rate.append(dv / dt if dt > 0 and dv >= 0 else math.nan)
        top.plot(t, rate, styles[w], label=w, linewidth=0.9)
    top.set_ylabel("values / s (10 s)")
    top.set_ylim(bottom=0)
    top.legend(loc="lower right", ncol=5, fontsize="small")
    top.set_title("Waveform values sent to the unit, and the unit's reply age")
    bottom.plot(t, [float(r["reply_age"]) for r in rows], color="black", linewidth=0.8)
    bottom.set_ylabel("reply age (s)")
    bottom.set_xlabel("minutes")
    for at, name in faults(report_path):
        for ax in (top, bottom):
            ax.axvline(at / 60, color="red", alpha=0.3, linewidth=0.8)
        top.annotate(name, (at / 60, 0), rotation=90, fontsize=6, color="red",
                     xytext=(2, 2), textcoords="offset points")
    fig.tight_layout()
    fig.savefig(out_path)  # the format from the name: svg for the README


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "scrape":
        scrape(sys.argv[2], sys.argv[3])
    elif len(sys.argv) >= 4 and sys.argv[1] == "plot":
        plot(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else None)
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
