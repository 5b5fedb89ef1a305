"""`rotavel serve` under load: the Today page and a publish for the largest school.

The school is bench/gen.py's largest (2,500 teachers over 20 subjects, 1,000
classes, 10 periods, 8% away), with a term of history: every weekday of the
twelve weeks before the day measured is published first, through the desk.
The server is the real command (`python -m rotavel_app serve`, waitress) in a
process of its own on 127.0.0.1. Each client logs in on its own (its session
cookie and form token) and then sends requests one after another for the time
given: with wrk (Debian's, written in C, so the clients take little of the two
cores from the server) when it is installed, one wrk thread and connection per
client; else with threads of this process and http.client (`--python`), which
take a core's worth of time themselves. Figures are wall-clock times from
sending a request to reading the whole answer.

    .venv/bin/python bench/serve.py                 # 20 clients, 30 s a scenario
    .venv/bin/python bench/serve.py --clients 5 --seconds 5 --weeks 1    # a quick look

Only 127.0.0.1 is ever contacted, and every loop ends after --seconds.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import http.client
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gen

HERE = Path(__file__).resolve().parent
DAY = datetime.date(2026, 12, 8)
PASSWORD = "bench password"
GOAL_MS = 200.0


def write_school(folder: Path, plan: gen.Plan) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    with (folder / "teacher_list.csv").open("w", encoding="utf-8", newline="") as file:
        out = csv.writer(file, lineterminator="\n")
        out.writerow(("name", "subject", "present", "reason"))
        for name, keyword, present, reason in plan.teachers:
            out.writerow((name, keyword, "yes" if present else "no", reason or ""))
    with (folder / "timetable.csv").open("w", encoding="utf-8", newline="") as file:
        out = csv.writer(file, lineterminator="\n")
        out.writerow(("teacher", "period", "class"))
        for klass, period, teacher in plan.lessons:
            out.writerow((plan.teachers[teacher][0], period, plan.classes[klass]))


def make_history(folder: Path, weeks: int) -> int:
    """Publish every weekday of `weeks` weeks before DAY; the days published."""
    from rotavel_app.desk.desk import Desk

    days = 0
    with Desk.open(folder) as desk:
        date = DAY - datetime.timedelta(weeks * 7)
        while date < DAY:
            if date.weekday() < 5:
                desk.publish(date)
                days += 1
            date += datetime.timedelta(1)
    return days


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Client:
    """One browser: its own connection, cookie and form token."""

    def __init__(self, port: int) -> None:
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        self.cookie = ""

    def request(
        self, method: str, path: str, body: str | None = None
    ) -> tuple[int, str, dict[str, str]]:
        headers = {"Cookie": self.cookie} if self.cookie else {}
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        self.connection.request(method, path, body=body, headers=headers)
        response = self.connection.getresponse()
        text = response.read().decode("utf-8", "replace")
        answer = dict(response.getheaders())
        if "Set-Cookie" in answer:
            self.cookie = answer["Set-Cookie"].split(";", 1)[0]
        return response.status, text, answer

    def log_in(self) -> None:
        _, page, _ = self.request("GET", "/login")
        token = _token(page)
        status, _, _ = self.request(
            "POST", "/login", f"csrf_token={token}&password={PASSWORD.replace(' ', '+')}"
        )
        if status != 303:
            raise SystemExit(f"bench: the login failed ({status})")

    def token(self) -> str:
        _, page, _ = self.request("GET", f"/today?date={DAY}")
        return _token(page)


def _token(page: str) -> str:
    match = re.search(r'name="csrf_token" value="([^"]+)"', page)
    if match is None:
        raise SystemExit("bench: no form token on the page")
    return match[1]


def run(port: int, clients: int, seconds: float, scenario: str) -> tuple[list[float], int]:
    """Latencies in ms of every request of the scenario, and the failures."""
    ready = []
    for _ in range(clients):
        client = Client(port)
        client.log_in()
        token = client.token()
        ready.append((client, token))
    latencies: list[float] = []
    failures = [0]
    lock = threading.Lock()
    start = threading.Barrier(clients)

    def work(client: Client, token: str) -> None:
        start.wait()
        end = time.monotonic() + seconds
        mine = []
        while time.monotonic() < end:
            began = time.perf_counter()
            if scenario == "today":
                status, _, _ = client.request("GET", f"/today?date={DAY}")
                ok = status == 200
            else:
                status, _, headers = client.request(
                    "POST", "/publish", f"csrf_token={token}&date={DAY}"
                )
                ok = status == 303 and headers.get("Location", "").startswith("/today")
            mine.append((time.perf_counter() - began) * 1000)
            if not ok:
                with lock:
                    failures[0] += 1
        with lock:
            latencies.extend(mine)

    threads = [threading.Thread(target=work, args=pair) for pair in ready]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return latencies, failures[0]


# One wrk thread per client: each sends its own cookie (and, publishing, its own token).
WRK_SCRIPT = """
local logins = %s
local scenario = "%s"
local day = "%s"
local count = 0
function setup(thread)
  count = count + 1
  thread:set("login", count)
end
function init(args)
  local mine = logins[login]
  wrk.headers["Cookie"] = mine.cookie
  if scenario == "publish" then
    wrk.method = "POST"
    wrk.path = "/publish"
    wrk.body = "csrf_token=" .. mine.token .. "&date=" .. day
    wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
  else
    wrk.path = "/today?date=" .. day
  end
end
function done(summary, latency, requests)
  local errors = summary.errors
  io.write(string.format("WRK %%d %%d %%.3f %%.3f %%.3f %%.3f\\n", summary.requests,
    errors.connect + errors.read + errors.write + errors.status + errors.timeout,
    latency:percentile(50) / 1000, latency:percentile(95) / 1000,
    latency:percentile(99) / 1000, latency.max / 1000))
end
"""


def run_wrk(
    port: int, clients: int, seconds: float, scenario: str, folder: Path
) -> tuple[dict[str, float], int]:
    logins = []
    for _ in range(clients):
        client = Client(port)
        client.log_in()
        token = client.token()  # may renew the cookie: read it after
        logins.append({"cookie": client.cookie, "token": token})
    entries = ", ".join(
        f"{{cookie = {json.dumps(x['cookie'])}, token = {json.dumps(x['token'])}}}" for x in logins
    )
    table = "{" + entries + "}"
    script = folder / f"{scenario}.lua"
    script.write_text(WRK_SCRIPT % (table, scenario, DAY.isoformat()))
    done = subprocess.run(
        [
            "wrk",
            "-t",
            str(clients),
            "-c",
            str(clients),
            "-d",
            f"{seconds:.0f}s",
            "--timeout",
            "60s",
            "-s",
            str(script),
            f"http://127.0.0.1:{port}/",
        ],
        capture_output=True,
        text=True,
        check=True,
    )
    line = next(x for x in done.stdout.splitlines() if x.startswith("WRK "))
    requests, failures, p50, p95, p99, most = line.split()[1:]
    return {
        "requests": float(requests),
        "p50": float(p50),
        "p95": float(p95),
        "p99": float(p99),
        "max": float(most),
    }, int(failures)


def report_figures(name: str, figures: dict[str, float], failures: int, seconds: float) -> bool:
    met = figures["p95"] <= GOAL_MS and not failures
    print(
        f"{name:8} {figures['requests']:6.0f} requests ({figures['requests'] / seconds:6.1f}/s), "
        f"{failures} failed; ms: p50 {figures['p50']:8.1f}  p95 {figures['p95']:8.1f}  "
        f"p99 {figures['p99']:8.1f}  max {figures['max']:8.1f}  "
        f"-> {'met' if met else 'MISSED'} (p95 goal {GOAL_MS:.0f} ms)"
    )
    return met


def report(name: str, latencies: list[float], failures: int, seconds: float) -> bool:
    ordered = sorted(latencies)
    p95 = ordered[min(len(ordered) - 1, int(0.95 * len(ordered)))] if ordered else float("nan")
    p50 = statistics.median(ordered) if ordered else float("nan")
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))] if ordered else float("nan")
    met = p95 <= GOAL_MS and not failures
    print(
        f"{name:8} {len(ordered):6} requests ({len(ordered) / seconds:6.1f}/s), {failures} failed; "
        f"ms: p50 {p50:8.1f}  p95 {p95:8.1f}  p99 {p99:8.1f}  max {ordered[-1] if ordered else 0:8.1f}  "
        f"-> {'met' if met else 'MISSED'} (p95 goal {GOAL_MS:.0f} ms)"
    )
    return met


def main() -> int:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=30.0)
    parser.add_argument("--weeks", type=int, default=12, help="weeks of history published first")
    parser.add_argument("--teachers", type=int, default=2500)
    parser.add_argument("--classes", type=int, default=1000)
    parser.add_argument("--scenario", choices=("today", "publish", "both"), default="both")
    parser.add_argument(
        "--python", action="store_true", help="clients in Python even when wrk is there"
    )
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="rotavel-serve-bench-") as tmp:
        folder = Path(tmp) / "school"
        plan = gen.generate(teachers=args.teachers, classes=args.classes)
        write_school(folder, plan)
        print(f"school: {plan.describe()}")
        began = time.perf_counter()
        days = make_history(folder, args.weeks)
        print(f"history: {days} days published in {time.perf_counter() - began:.1f} s")
        env = dict(os.environ)
        source = str(HERE.parent / "src")
        env["PYTHONPATH"] = source + os.pathsep + env.get("PYTHONPATH", "")
        subprocess.run(
            [sys.executable, "-m", "rotavel_app", "serve", str(folder), "--set-password"],
            input=PASSWORD + "\n",
            text=True,
            env=env,
            check=True,
            capture_output=True,
        )
        port = free_port()
        # The server's output goes to a file: a pipe nobody reads would fill up and stop
        # the server in the middle of a log line (waitress warns when its queue grows).
        log = Path(tmp) / "server.log"
        server = subprocess.Popen(
            [sys.executable, "-m", "rotavel_app", "serve", str(folder), "--port", str(port)],
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=log.open("w"),
            stderr=subprocess.STDOUT,
        )
        try:
            deadline = time.monotonic() + 60
            while "is at http://" not in log.read_text() and time.monotonic() < deadline:
                if server.poll() is not None:
                    raise SystemExit(f"bench: the server stopped: {log.read_text()}")
                time.sleep(0.1)
            probe = Client(port)
            probe.log_in()
            began = time.perf_counter()
            status, page, _ = probe.request("GET", f"/today?date={DAY}")
            print(
                f"first Today page (the day planned, nothing kept yet): "
                f"{(time.perf_counter() - began) * 1000:.0f} ms, {len(page) / 1e6:.2f} MB, "
                f"status {status}"
            )
            results = []
            use_wrk = shutil.which("wrk") is not None and not args.python
            print(f"clients: {'wrk' if use_wrk else 'Python threads (http.client)'}")
            for scenario in ("today", "publish"):
                if args.scenario in (scenario, "both"):
                    if use_wrk:
                        figures, failures = run_wrk(
                            port, args.clients, args.seconds, scenario, Path(tmp)
                        )
                        results.append(report_figures(scenario, figures, failures, args.seconds))
                    else:
                        latencies, failures = run(port, args.clients, args.seconds, scenario)
                        results.append(report(scenario, latencies, failures, args.seconds))
        finally:
            server.terminate()
            server.wait(30)
            warnings = [line for line in log.read_text().splitlines() if "WARNING" in line]
            if warnings:
                print(f"server: {len(warnings)} warnings, e.g. {warnings[0]}")
    print(
        f"{args.clients} clients for {args.seconds:.0f} s each scenario, against 127.0.0.1, "
        f"{os.cpu_count()} cores"
    )
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
