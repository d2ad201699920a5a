#!/usr/bin/env python3
"""Cost of repository watching, measured on a running vesk-agent.

1. Per poll: the agent's CPU time (its own utime+stime plus the cutime+cstime of the git
   children it reaped, from /proc/<pid>/stat) divided by the number of polls, against the CPU
   time of the same `git status --porcelain=v1 -z --untracked-files=normal` run alone, for a
   small repository and for one with 10,000 tracked files.
2. Idle: an agent with 20 watches on quiet repositories, CPU time per minute and thread count.
3. Large trees (--large, with --before OLD_AGENT to compare two builds in the same run): for a
   repository of 20,000 and of 100,000 tracked files (18 to a directory), how long "watch" takes
   to answer, the idle cost of that one watch over --idle-seconds (agent and children), the
   agent's CPU time for its first poll (the link scan and one full status run: what a timed
   full poll costs, so cost + first/300 s is the idle cost with the five-minute full polls),
   the latency from a write to its event over --changes writes, and the kernel's inotify
   memory per watched directory (slab objects from /sys/kernel/slab).

Usage: watch_bench.py [path/to/vesk-agent] [--idle-seconds N] [--large [--before OLD]]
Standard library only; speaks the frame protocol directly.
"""
import argparse
import json
import os
import random
import resource
import select
import statistics
import shutil
import struct
import subprocess
import tempfile
import time

POLL_PERIOD = 2.0
STATUS = ["git", "status", "--porcelain=v1", "-z", "--untracked-files=normal"]
TICK = os.sysconf("SC_CLK_TCK")


def git(cwd, *args):
    subprocess.run(["git", "-C", cwd, *args], check=True, stdout=subprocess.DEVNULL)


def make_repo(path, files, per_dir=100):
    os.makedirs(path)
    git(path, "init", "-q", "-b", "main")
    git(path, "config", "user.name", "Bench")
    git(path, "config", "user.email", "bench@example.invalid")
    for i in range(files):
        d = os.path.join(path, "d%04d" % (i // per_dir))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%05d.txt" % i), "w") as f:
            f.write("line %d\n" % i)
    git(path, "config", "gc.auto", "0")  # no detached gc rewriting the repository meanwhile
    git(path, "add", "-A")
    git(path, "commit", "-q", "-m", "files")
    git(path, "gc", "-q")


class Agent:
    def __init__(self, exe):
        self.proc = subprocess.Popen([exe, "serve"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        self.next_id = 1

    def call(self, method, data):
        header = json.dumps({"id": self.next_id, "method": method, "data": data}).encode()
        self.next_id += 1
        self.proc.stdin.write(struct.pack(">I", len(header)) + header + struct.pack(">I", 0))
        self.proc.stdin.flush()
        while True:  # skip events; the reply is the next message with our id
            reply = json.loads(self.read_frame())
            self.read_frame()
            if reply.get("id") == self.next_id - 1:
                if "error" in reply:
                    raise RuntimeError(reply["error"])
                return reply

    def next_event(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            return None
        header = json.loads(self.read_frame())
        self.read_frame()
        return header

    def read_frame(self):
        (n,) = struct.unpack(">I", self.proc.stdout.read(4))
        return self.proc.stdout.read(n)

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        # After the command name: utime, stime, cutime, cstime are fields 14-17 of the line.
        utime, stime, cutime, cstime = (int(x) for x in fields[11:15])
        return (utime + stime + cutime + cstime) / TICK

    def cpu_fine(self):
        """CPU seconds to the nanosecond for the agent's live threads, plus reaped children."""
        tasks = "/proc/%d/task" % self.proc.pid
        own = 0
        for t in os.listdir(tasks):
            try:
                with open("%s/%s/schedstat" % (tasks, t)) as f:
                    own += int(f.read().split()[0])
            except FileNotFoundError:  # a worker that ended meanwhile
                pass
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return own / 1e9 + (int(fields[13]) + int(fields[14])) / TICK

    def settle(self):
        """Waits until no child of the agent runs, so a poll in flight is never cut."""
        tasks = "/proc/%d/task" % self.proc.pid
        while any(open("%s/%s/children" % (tasks, t)).read().strip() for t in os.listdir(tasks)):
            time.sleep(0.05)

    def threads(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("Threads:"):
                    return int(line.split()[1])
        return -1

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


def status_alone(repo, runs):
    """CPU seconds of one standalone status run, averaged over runs."""
    env = dict(os.environ, GIT_OPTIONAL_LOCKS="0")
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall = time.monotonic()
    for _ in range(runs):
        subprocess.run(STATUS, cwd=repo, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
    wall = (time.monotonic() - wall) / runs
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) / runs
    return cpu, wall


def per_poll(exe, paths, polls, status_wall):
    """Agent CPU seconds per fingerprint, with len(paths) watches polled `polls` times each."""
    agent = Agent(exe)
    for p in paths:
        agent.call("watch", {"path": p})
    start = agent.cpu_seconds()
    # Measure from just after the watches started to just after the polls-th poll, midway
    # between two polls so a poll in flight is never cut.
    time.sleep(polls * (POLL_PERIOD + status_wall) + POLL_PERIOD / 2)
    used = agent.cpu_seconds() - start
    agent.close()
    return used / (polls * len(paths))


def watch_cost():
    """Kernel bytes one watched directory allocates: its mark, and the connector of its inode."""
    total = 0
    for cache in ("inotify_inode_mark", "fsnotify_mark_connector"):
        with open("/sys/kernel/slab/%s/slab_size" % cache) as f:
            total += int(f.read())
    return total


def large(name, exe, repo, args):
    """One watch of repo: answer time, idle cost, first-poll cost, latency, kernel memory."""
    agent = Agent(exe)
    agent.call("watch", {"path": repo})
    start = agent.cpu_seconds()
    time.sleep(2 * POLL_PERIOD)  # the gate's setup and the first poll, a full one
    agent.settle()
    first = agent.cpu_seconds() - start
    start = agent.cpu_fine()
    time.sleep(args.idle_seconds)
    idle = (agent.cpu_fine() - start) / args.idle_seconds
    latencies = []
    target = os.path.join(repo, "d0000", "f00000.txt")
    for i in range(args.changes):
        time.sleep(random.uniform(0, POLL_PERIOD))  # anywhere in the poll period
        with open(target, "a") as f:
            f.write("change %d\n" % i)
        wall = time.monotonic()
        event = agent.next_event(30)
        latencies.append(time.monotonic() - wall if event else float("nan"))
        subprocess.run(["git", "-C", repo, "checkout", "-q", "--", "."], check=True)
        agent.next_event(30)  # the undo's own event
    agent.close()
    print("%-8s %-30s idle %7.4f %% of a core (+%.3f %% full polls)  "
          "first poll %.3f s  latency median %.2f s max %.2f s  %d dirs"
          % (name, os.path.basename(repo), idle * 100, first / 300 * 100, first,
             statistics.median(latencies), max(latencies), args.dirs[repo]))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_exe = os.path.join(here, "..", "..", "build", "release", "vesk-agent")
    ap = argparse.ArgumentParser()
    ap.add_argument("agent", nargs="?", default=default_exe)
    ap.add_argument("--idle-seconds", type=float, default=60.0)
    ap.add_argument("--polls", type=int, default=10)
    ap.add_argument("--large", action="store_true")
    ap.add_argument("--before")
    ap.add_argument("--changes", type=int, default=10)
    ap.add_argument("--sizes", default="20000,100000")
    args = ap.parse_args()
    exe = os.path.abspath(args.agent)

    tmp = tempfile.mkdtemp(prefix="vesk-watch-bench-")
    try:
        if args.large:
            builds = [("after", exe)] + ([("before", os.path.abspath(args.before))]
                                         if args.before else [])
            print("kernel memory per watched directory: %d B (inotify mark and inode connector;"
                  " the inode itself stays cached while watched)" % watch_cost())
            args.dirs = {}
            for files in (int(n) for n in args.sizes.split(",")):
                repo = os.path.join(tmp, "files%d" % files)
                make_repo(repo, files, per_dir=18)
                args.dirs[repo] = sum(1 for _ in os.walk(repo))
                print("loadavg", open("/proc/loadavg").read().strip())
                answers = {name: [] for name, _ in builds}
                for _ in range(7):  # alternating, each with a fresh agent
                    for name, build in builds:
                        agent = Agent(build)
                        wall = time.monotonic()
                        agent.call("watch", {"path": repo})
                        answers[name].append(time.monotonic() - wall)
                        agent.close()
                for name, build in builds:
                    print("%-8s %-30s watch answers in %.3f s (median of 7, %.3f-%.3f)"
                          % (name, os.path.basename(repo), statistics.median(answers[name]),
                             min(answers[name]), max(answers[name])))
                alone, _ = status_alone(repo, 5)
                print("status alone: %.3f CPU s" % alone)
                for name, build in builds:
                    large(name, build, repo, args)
                print("loadavg", open("/proc/loadavg").read().strip())
            return
        small = [os.path.join(tmp, "small%02d" % i) for i in range(20)]
        for p in small:
            make_repo(p, 5)
        big = os.path.join(tmp, "big")
        make_repo(big, 10000)

        print("%-28s %14s %14s %8s" % ("repository", "agent/poll ms", "status ms", "ratio"))
        for name, repo, watched in (
            ("small (5 files) x10 watches", small[0], small[:10]),
            # Three texts of one directory: three watchers, same repository.
            ("10,000 files x3 watches", big, [big, big + "/", big + "/."]),
        ):
            alone, wall = status_alone(repo, 30)
            agent = per_poll(exe, watched, args.polls, wall)
            print("%-28s %14.2f %14.2f %8.2f" % (name, agent * 1e3, alone * 1e3, agent / alone))

        agent = Agent(exe)
        for p in small:
            agent.call("watch", {"path": p})
        time.sleep(POLL_PERIOD)  # let the watch workers finish
        start = agent.cpu_seconds()
        time.sleep(args.idle_seconds)
        used = agent.cpu_seconds() - start
        print("idle, 20 quiet watches: %.3f CPU s per minute, %d threads"
              % (used * 60.0 / args.idle_seconds, agent.threads()))
        agent.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
