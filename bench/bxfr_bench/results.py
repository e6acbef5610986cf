"""Figures and tables of the reports: medians, number formats, the machine, Markdown tables."""

import os
import platform
import statistics


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=1):
    if value is None:
        return "n/a"
    return "%.*f" % (digits, value)


def ratio(a, b, digits=2):
    if a is None or b is None or b == 0:
        return "n/a"
    return "%.*f" % (digits, a / b)


def machine_info():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    ram = "?"
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    ram = "%.1f GiB" % (int(line.split()[1]) / 1024 / 1024)
    except OSError:
        pass
    return {"nproc": str(os.cpu_count()), "cpu": cpu, "ram": ram,
            "os": platform.platform(terse=True) + " (" + platform.release() + ")"}


def verb_summary(verbs, keys=("CWD", "LIST", "MLSD", "NLST", "SIZE", "MDTM", "MKD", "STOR", "RETR",
                              "PASV", "EPSV", "TYPE", "SITE")):
    parts = ["%s %d" % (k, verbs[k]) for k in keys if verbs.get(k)]
    others = sum(v for k, v in verbs.items() if k not in keys)
    if others:
        parts.append("other %d" % others)
    return ", ".join(parts)


def md_table(head, rows):
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    return [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows]
