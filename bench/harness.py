"""The benchmark proper; bench/run.sh starts it as the first process of a private PID and
network namespace. It runs the built agent (a copy of the bundle whose bridge is a tiny
stand-in) and the floor side by side against local health servers on a private session
bus, and prints medians over the runs."""
import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CONNECTED, NOT_CONNECTED = "● Connected", "○ Not connected"
ANSWER = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 16\r\n" \
         b"Connection: close\r\n\r\n{\"status\":\"ok\"}"


class HealthServer:
    """Answers 200 on 127.0.0.1 and records when each request arrived."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.times = []
        self.running = True
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while self.running:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with connection:
                connection.settimeout(5)
                head = b""
                try:
                    while b"\r\n\r\n" not in head:
                        chunk = connection.recv(4096)
                        if not chunk:
                            break
                        head += chunk
                    self.times.append(time.monotonic_ns())
                    connection.sendall(ANSWER)
                except OSError:
                    pass

    def probes_between(self, start, end):
        return sum(1 for t in self.times if start <= t < end)

    def stop(self):
        self.running = False
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()


class Watcher:
    def __init__(self, env):
        self.events = []
        self.process = subprocess.Popen([sys.executable, os.path.join(HERE, "watcher.py")],
                                        env=env, stdout=subprocess.PIPE, text=True)
        self.ready = threading.Event()
        threading.Thread(target=self.read, daemon=True).start()
        if not self.ready.wait(10):
            raise SystemExit("benchmark: the tray host did not start")

    def read(self):
        for line in self.process.stdout:
            kind, ns, *text = line.rstrip("\n").split(" ", 2)
            self.events.append((kind, int(ns), text[0] if text else ""))
            if kind == "ready":
                self.ready.set()

    def wait_for(self, kind, text=None, after=0, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for event in list(self.events):
                if event[0] == kind and event[1] >= after and (text is None or event[2] == text):
                    return event[1]
            time.sleep(0.002)
        return None

    def registered_once(self):
        """Fails the benchmark unless the agent registered exactly once and its item is still
        listed: a measuring window must never hold start-up work or registrations again."""
        kinds = [(kind, text) for kind, _, text in list(self.events)
                 if kind in ("registered", "unregistered")]
        if len(kinds) != 1 or kinds[0][0] != "registered":
            raise SystemExit("benchmark: the agent did not register once and stay registered "
                             f"with the tray host: {kinds}")

    def stop(self):
        self.process.kill()
        self.process.wait()


def tasks(pid):
    try:
        return sorted(int(t) for t in os.listdir(f"/proc/{pid}/task"))
    except FileNotFoundError:
        return []


def status_fields(path):
    fields = {}
    with open(path) as status:
        for line in status:
            name, _, value = line.partition(":")
            fields[name] = value.split()[0] if value.split() else ""
    return fields


def snapshot(pid):
    """CPU ns, voluntary and involuntary switches, per thread name and in total."""
    total = {"cpu": 0, "voluntary": 0, "involuntary": 0}
    threads = {}
    for tid in tasks(pid):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as stat:
                cpu = int(stat.read().split()[0])
            fields = status_fields(f"/proc/{pid}/task/{tid}/status")
            with open(f"/proc/{pid}/task/{tid}/comm") as comm:
                name = comm.read().strip()
        except (FileNotFoundError, ProcessLookupError):
            continue
        voluntary = int(fields["voluntary_ctxt_switches"])
        involuntary = int(fields["nonvoluntary_ctxt_switches"])
        threads[f"{name}/{tid}"] = (cpu, voluntary + involuntary)
        total["cpu"] += cpu
        total["voluntary"] += voluntary
        total["involuntary"] += involuntary
    total["threads"] = threads
    return total


def memory(pid):
    status = status_fields(f"/proc/{pid}/status")
    rollup = status_fields(f"/proc/{pid}/smaps_rollup")
    return {"rss": int(status["VmRSS"]), "anon": int(status["RssAnon"]), "pss": int(rollup["Pss"])}


def strace_calls(pid, seconds, out):
    """System calls of all threads over that many seconds: total and per name."""
    command = ["strace", "-c", "-f", "-q", "-o", out]
    for tid in tasks(pid):
        command += ["-p", str(tid)]
    tracer = subprocess.Popen(command, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    tracer.send_signal(signal.SIGINT)
    tracer.wait()
    per_name, total = {}, 0
    with open(out) as summary:
        for line in summary:
            fields = line.split()
            if len(fields) >= 5 and re.match(r"^[\d.]+$", fields[0]) and fields[-1] != "total":
                numbers = fields[1:-1]
                per_name[fields[-1]] = int(numbers[2])
            elif fields and fields[-1] == "total":
                total = int(fields[1:-1][2])
    return total, per_name


class Setup:
    def __init__(self, root, bundle, floor):
        self.root = root
        self.floor = floor
        # The bundle, copied, with a bridge that only sleeps: the probe is what is measured.
        self.bundle = os.path.join(root, "ShadeLedgerZizadezavav.app")
        shutil.copytree(bundle, self.bundle, symlinks=True)
        node = os.path.join(self.bundle, "Contents/Resources/node")
        os.remove(node)
        with open(node, "w") as standIn:
            standIn.write("#!/bin/sh\nexec sleep 1000000\n")
        os.chmod(node, 0o755)
        self.executable = os.path.join(self.bundle, "Contents/MacOS/ShadeLedgerZizadezavav")
        self.dbus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                      "--print-address=1"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.address = self.dbus.stdout.readline().strip()
        self.runs = 0

    def environment(self, port):
        self.runs += 1
        home = os.path.join(self.root, f"home-{self.runs}")
        settings = os.path.join(home, "Library/Application Support/ShadeLedger")
        os.makedirs(settings)
        os.makedirs(os.path.join(home, ".config"))
        with open(os.path.join(settings, "zizadezavav.json"), "w") as file:
            file.write('{"port": %d}\n' % port)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home,
               "XDG_CONFIG_HOME": os.path.join(home, ".config"),
               "DBUS_SESSION_BUS_ADDRESS": self.address, "LANG": "C.UTF-8"}
        return env

    def close(self):
        self.dbus.kill()
        self.dbus.wait()


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def measured_run(setup, options):
    agentServer, floorServer = HealthServer(), HealthServer()
    env = setup.environment(agentServer.port)
    watcher = Watcher(env)
    started = time.monotonic_ns()
    agent = subprocess.Popen([setup.executable], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    floorStarted = time.monotonic_ns()
    floor = subprocess.Popen([setup.floor, str(floorServer.port)], env=env)
    figures = {}
    try:
        registered = watcher.wait_for("registered")
        connected = watcher.wait_for("label", CONNECTED, timeout=15)
        if registered is None or connected is None or not agentServer.times:
            raise SystemExit("benchmark: the agent never showed \"● Connected\"")
        figures["start → status item (ms)"] = ((registered - started) / 1e6, None)
        first_floor = floorServer.times[0] - floorStarted if floorServer.times else None
        figures["start → first probe (ms)"] = ((agentServer.times[0] - started) / 1e6,
                                               first_floor / 1e6 if first_floor else None)
        time.sleep(options.settle)

        before = {"agent": snapshot(agent.pid), "floor": snapshot(floor.pid)}
        windowStart = time.monotonic_ns()
        time.sleep(options.window)
        after = {"agent": snapshot(agent.pid), "floor": snapshot(floor.pid)}
        windowEnd = time.monotonic_ns()
        probes = {"agent": agentServer.probes_between(windowStart, windowEnd),
                  "floor": floorServer.probes_between(windowStart, windowEnd)}
        per = {}
        for who in ("agent", "floor"):
            n = max(probes[who], 1)
            b, a = before[who], after[who]
            switches = (a["voluntary"] + a["involuntary"]) - (b["voluntary"] + b["involuntary"])
            per[who] = {"cpu": (a["cpu"] - b["cpu"]) / 1e3 / n, "switches": switches / n,
                        "voluntary": (a["voluntary"] - b["voluntary"]) / n,
                        "wakeups": (a["voluntary"] - b["voluntary"]) * 60e9 / (windowEnd - windowStart),
                        "threads": {name: ((cpu - b["threads"].get(name, (0, 0))[0]) / 1e3 / n,
                                           (cs - b["threads"].get(name, (0, 0))[1]) / n)
                                    for name, (cpu, cs) in a["threads"].items()}}
        figures["CPU per probe (µs)"] = (per["agent"]["cpu"], per["floor"]["cpu"])
        figures["context switches per probe"] = (per["agent"]["switches"], per["floor"]["switches"])
        figures["  of which voluntary (wake-ups)"] = (per["agent"]["voluntary"],
                                                     per["floor"]["voluntary"])
        figures["wake-ups per minute, connected and idle"] = (per["agent"]["wakeups"],
                                                             per["floor"]["wakeups"])
        agentMemory, floorMemory = memory(agent.pid), memory(floor.pid)
        for key, label in (("rss", "resident (KiB)"), ("anon", "anonymous (KiB)"),
                           ("pss", "proportional (KiB)")):
            figures[label] = (agentMemory[key], floorMemory[key])
        figures["_threads"] = per["agent"]["threads"]

        traceStart = time.monotonic_ns()
        results = {}
        tracers = {who: threading.Thread(target=lambda who=who, pid=pid: results.__setitem__(
            who, strace_calls(pid, options.trace, os.path.join(setup.root, f"strace-{who}-{setup.runs}"))))
            for who, pid in (("agent", agent.pid), ("floor", floor.pid))}
        for tracer in tracers.values():
            tracer.start()
        for tracer in tracers.values():
            tracer.join()
        traceEnd = time.monotonic_ns()
        traced = {"agent": max(agentServer.probes_between(traceStart, traceEnd), 1),
                  "floor": max(floorServer.probes_between(traceStart, traceEnd), 1)}
        figures["system calls per probe"] = (results["agent"][0] / traced["agent"],
                                             results["floor"][0] / traced["floor"])
        figures["_syscalls"] = {name: count / traced["agent"]
                                for name, count in results["agent"][1].items()}

        died = time.monotonic_ns()
        agentServer.stop()
        shown = watcher.wait_for("label", NOT_CONNECTED, after=died, timeout=10)
        figures["bridge death → \"○ Not connected\" (ms)"] = (
            (shown - died) / 1e6 if shown else float("nan"), None)
        watcher.registered_once()
    finally:
        stop(agent)
        floor.kill()
        floor.wait()
        watcher.stop()
        floorServer.stop()
    return figures


def callgrind_total(prefix):
    totals = {}
    directory, base = os.path.split(prefix)
    for name in os.listdir(directory):
        if not name.startswith(base + "."):
            continue
        with open(os.path.join(directory, name)) as dump:
            thread, value = name, 0
            for line in dump:
                if line.startswith("summary:") or line.startswith("totals:"):
                    value = int(line.split()[1])
                elif line.startswith("thread:"):
                    thread = line.split()[1]
            totals[name] = (thread, value)
    return totals


# Under callgrind the first probes are start-up's: the tray check five seconds in, and the
# exit of the thread GLib lent to start-up, after 15 s idle. Counting starts after these.
SKIPPED_PROBES = 7


def counted_probes(process, server, prefix, options):
    """Instructions per thread of exactly options.probes probes of a process under callgrind.
    Its counters are zeroed halfway between two probes and dumped halfway after the last one
    counted, while it is idle, so the count holds whole probes only and the same every run.
    When a probe came before callgrind had answered (a busy machine), the count is taken again
    over the next probes."""
    def halfway_after(probe):
        deadline = time.monotonic() + 120
        while len(server.times) < probe:
            if time.monotonic() > deadline or process.poll() is not None:
                raise SystemExit(f"benchmark: {prefix} stopped probing under callgrind")
            time.sleep(0.01)
        time.sleep(max(0.0, (server.times[probe - 1] + 1.5e9 - time.monotonic_ns()) / 1e9))

    def callgrind(command, probe):
        control = subprocess.run(["callgrind_control", command, str(process.pid)],
                                 capture_output=True, text=True)
        if control.returncode != 0:
            raise SystemExit(f"benchmark: callgrind_control {command} failed: {control.stderr}")
        return len(server.times) == probe

    directory, base = os.path.split(prefix)
    for attempt in range(3):
        first = SKIPPED_PROBES + attempt * (options.probes + 1)
        halfway_after(first)
        if not callgrind("-z", first):
            continue
        threads = tasks(process.pid)
        halfway_after(first + options.probes)
        for name in os.listdir(directory):
            if name.startswith(base + "."):
                os.remove(os.path.join(directory, name))
        if not callgrind("-d", first + options.probes):
            continue
        if tasks(process.pid) != threads:
            raise SystemExit(f"benchmark: threads of {prefix} came or went while its probes "
                             "were counted")
        if options.profiles:
            os.makedirs(options.profiles, exist_ok=True)
            for name in os.listdir(directory):
                if name.startswith(base + "."):
                    shutil.copy(os.path.join(directory, name), options.profiles)
        return callgrind_total(prefix)
    raise SystemExit(f"benchmark: probes of {prefix} kept coming before callgrind_control had "
                     "answered: the machine is too busy to count")


def instruction_run(setup, options):
    """Instructions per probe under callgrind (deterministic), agent and floor together."""
    agentServer, floorServer = HealthServer(), HealthServer()
    env = setup.environment(agentServer.port)
    watcher = Watcher(env)
    prefixes = {who: os.path.join(setup.root, f"callgrind-{who}-{setup.runs}")
                for who in ("agent", "floor")}
    valgrind = ["valgrind", "--tool=callgrind", "--separate-threads=yes", "--dump-instr=no",
                "--collect-atstart=yes"]
    agent = subprocess.Popen(valgrind + [f"--callgrind-out-file={prefixes['agent']}",
                                         setup.executable], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    floor = subprocess.Popen(valgrind + [f"--callgrind-out-file={prefixes['floor']}",
                                         setup.floor, str(floorServer.port)], env=env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if watcher.wait_for("label", CONNECTED, timeout=120) is None:
            raise SystemExit("benchmark: the agent under callgrind never connected")
        totals, failures = {}, []

        def count(who, process, server):
            try:
                totals[who] = counted_probes(process, server, prefixes[who], options)
            except SystemExit as failure:
                failures.append(failure)

        counters = [threading.Thread(target=count, args=arguments) for arguments in
                    (("agent", agent, agentServer), ("floor", floor, floorServer))]
        for counter in counters:
            counter.start()
        for counter in counters:
            counter.join()
        if failures:
            raise failures[0]
        watcher.registered_once()
        result = {}
        for who in ("agent", "floor"):
            result[who] = sum(value for _, value in totals[who].values()) / options.probes
            result[who + "_threads"] = {f"thread {thread}": value / options.probes
                                        for thread, value in totals[who].values() if value}
        return result
    finally:
        stop(agent)
        floor.kill()
        floor.wait()
        watcher.stop()
        agentServer.stop()
        floorServer.stop()


GOALS = {"CPU per probe (µs)": "≤ 1.2× floor", "context switches per probe": "≤ floor",
         "instructions per probe": "≤ 2× floor", "resident (KiB)": "≤ 7,656",
         "anonymous (KiB)": "≤ 1024", "start → status item (ms)": "≤ 20",
         "wake-ups per minute, connected and idle": "≤ floor",
         "bridge death → \"○ Not connected\" (ms)": "≤ 3000"}


def show(value):
    if value is None:
        return "—"
    if value != value:
        return "never"
    return f"{value:,.1f}" if abs(value) < 1000 else f"{value:,.0f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bundle", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--settle", type=float, default=10)
    parser.add_argument("--window", type=float, default=30)
    parser.add_argument("--trace", type=float, default=15)
    parser.add_argument("--instruction-runs", type=int, default=3)
    parser.add_argument("--probes", type=int, default=5,
                        help="probes counted in each callgrind run")
    parser.add_argument("--budget", type=float,
                        help="fail when the agent's instructions per probe exceed this multiple "
                             "of the floor's")
    parser.add_argument("--profiles", help="keep the callgrind profiles in this folder")
    options = parser.parse_args()
    if options.instruction_runs < 1 or options.probes < 1:
        parser.error("at least one callgrind run of at least one probe")

    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    root = tempfile.mkdtemp(prefix="sl-bench-")
    setup = Setup(root, options.bundle, options.floor)
    try:
        runs = []
        for index in range(options.runs):
            print(f"run {index + 1} of {options.runs} …", file=sys.stderr, flush=True)
            runs.append(measured_run(setup, options))
        instructions = []
        for index in range(options.instruction_runs):
            print(f"callgrind run {index + 1} of {options.instruction_runs} …", file=sys.stderr,
                  flush=True)
            instructions.append(instruction_run(setup, options))
    finally:
        setup.close()
        shutil.rmtree(root, ignore_errors=True)

    rows = []
    for label in runs[0] if runs else []:
        if label.startswith("_"):
            continue
        agent = statistics.median(run[label][0] for run in runs)
        floors = [run[label][1] for run in runs if run[label][1] is not None]
        rows.append((label, agent, statistics.median(floors) if floors else None))
    agentInstructions = statistics.median(r["agent"] for r in instructions)
    floorInstructions = statistics.median(r["floor"] for r in instructions)
    rows.insert(2, ("instructions per probe", agentInstructions, floorInstructions))
    print(f"\nmedians of {options.runs} run(s) ({options.window:g} s windows after "
          f"{options.settle:g} s settling; callgrind: {options.instruction_runs} run(s) of "
          f"{options.probes} probes)\n")
    print(f"{'figure':44} {'agent':>10} {'floor':>10} {'ratio':>7}  goal")
    for label, agent, floor in rows:
        ratio = f"{agent / floor:.2f}" if floor else "—"
        print(f"{label:44} {show(agent):>10} {show(floor):>10} {ratio:>7}  {GOALS.get(label, '')}")
    if len(instructions) > 1:
        for who in ("agent", "floor"):
            print(f"  instructions per probe, each callgrind run, {who}: "
                  + ", ".join(show(r[who]) for r in instructions))

    print("\nwhere the agent's cost per probe goes (median run):")
    if runs:
        middle = sorted(runs, key=lambda run: run["CPU per probe (µs)"][0])[len(runs) // 2]
        for name, (cpu, switches) in sorted(middle["_threads"].items(), key=lambda kv: -kv[1][0]):
            print(f"  thread {name:28} {cpu:8.1f} µs  {switches:5.2f} switches")
    threads = sorted(instructions, key=lambda r: r["agent"])[len(instructions) // 2]["agent_threads"]
    for name, value in sorted(threads.items(), key=lambda kv: -kv[1]):
        print(f"  callgrind {name:25} {value:10,.0f} instructions")
    if runs:
        calls = sorted(middle["_syscalls"].items(), key=lambda kv: -kv[1])
        print("  system calls: "
              + ", ".join(f"{name} {count:.1f}" for name, count in calls if count >= 0.05))

    if options.budget is not None:
        ratio = agentInstructions / floorInstructions
        verdict = (f"instructions per probe: the agent's {agentInstructions:,.0f} are "
                   f"{ratio:.2f}× the floor's {floorInstructions:,.0f}")
        if ratio > options.budget:
            raise SystemExit(f"\nbenchmark: {verdict}, over the budget of {options.budget:g}×")
        print(f"\n{verdict}, within the budget of {options.budget:g}×")

if __name__ == "__main__":
    main()
