#!/usr/bin/env python3
"""Times the executables under Wine against two floors and a hand-written script.

Usage: bench.py --dist DIR --floor-dir BUILD_ROOT --work DIR [--runs N]

With the wineserver kept warm and no shortcut to remove (so no box), it times,
for each architecture, remediate-ARCH.exe; two programs built the same way
that return at once, one that loads only kernel32, advapi32 and msvcrt (the
plain floor) and one that also loads user32 (the GUI floor); and
remediate-by-hand.cmd run through cmd.exe of the same architecture. Wine's
process start-up drifts by more than the differences measured here, so the
commands are interleaved: every round runs each once, in a new random order,
each after a short untimed pause.

Wine also starts a process in steps (about 50 to 65 ms apart on some
machines), and a command lands on one step or the next from round to round,
so a median jumps between steps from one run of the benchmark to the next.
Each command's time is therefore its mean over the rounds after the warm-up,
less the fastest and slowest tenth, and each figure carries its spread: the
half-width of the 95% interval that resampling the rounds gives. It prints
the times and the ratios with their spreads, and exits 1 only when a target
is missed by more than the ratio's spread: at most 1.05 times the plain
floor, at most 0.75 times the GUI floor, at most half the script's time.

Then it times /AllProfiles over 1, 25, 50 and 100 profiles staged in the
prefix (each a folder with a hive in Wine's text format and an empty Startup
folder, listed in ProfileList, beside Wine's own signed-in user), and prints
the time each profile adds between those counts: the same figure each time
for a run that grows linearly. Besides the time on the clock it gives the
processor time of the program and of the wineserver. Under Wine every
registry call and most file calls are a request to the wineserver, another
process, and the program waits for each answer: left to themselves on two
processors, the two are spread over both the longer a run lasts, and each
request then wakes the other processor, which on a virtual machine costs many
times more than the request itself. Runs of 100 profiles then measured two to
three times the time a profile of 25 did, in the program and the wineserver
alike, for the same number of requests a profile. These timings keep the
program and the wineserver on one processor, as Windows, whose registry is in
its kernel, has no second process to wake. Each round times every count, in
an order of its own, so that the session's drift falls on all counts alike.
It also runs the largest count once with Wine's registry trace,
whose timestamps show when each profile's hive is first loaded, and prints
the mean time between two profiles in each quarter of the list: the same
four figures for a run in which no profile costs more for standing later
(the trace slows every call alike). These have no target.
"""
import argparse
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from wine_session import WineSession, loader  # noqa: E402

# The most each run may take, as a share of the other command's median.
TARGETS = {"floor-plain": 1.05, "floor-gui": 0.75, "script": 0.5}
WARM_UP_ROUNDS = 5
TRIMMED_SHARE = 0.1  # left out at each end
RESAMPLES = 2000
RUN_SECONDS = 60
# A GUI process started right after another often waits about 32 ms more while
# Wine's desktop process is still busy with the last one; the pause, which is
# not timed, keeps the runs from timing that instead of the program.
SETTLE_SECONDS = 0.1
ARCHES = ("x86", "x64")
PROFILE_COUNTS = (1, 25, 50, 100)
PROFILE_RUNS = 10
PROFILE_LIST = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "remediate-by-hand.cmd")


def machine():
    model = "unknown processor"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, {wine}"


def time_one(command, session, errors):
    time.sleep(SETTLE_SECONDS)
    errors.seek(0)
    errors.truncate()
    started = time.perf_counter()
    # Standard error goes to a file, not a pipe, which Wine's background processes would hold open.
    result = subprocess.run(command, env=session.env, cwd=session.drive_c(), timeout=RUN_SECONDS,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errors)
    elapsed = time.perf_counter() - started
    if result.returncode != 0:
        errors.seek(0)
        said = errors.read().decode(errors="replace").strip()
        raise SystemExit(f"{' '.join(command)} ended with status {result.returncode}: {said or 'nothing on stderr'}")
    return elapsed


def time_interleaved(commands, session, runs):
    order = list(commands)
    shuffle = random.Random(0).shuffle
    samples = {name: [] for name in order}
    with tempfile.TemporaryFile() as errors:
        for round_number in range(WARM_UP_ROUNDS + runs):
            shuffle(order)
            for name in order:
                elapsed = time_one(commands[name], session, errors)
                if round_number >= WARM_UP_ROUNDS:
                    samples[name].append(elapsed)
    return samples


def stage_profiles(session, count):
    """ProfileList names `count` staged profiles (S-1-5-21-9-9-9-1..count) and no others of the benchmark's."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for number in range(1, max(PROFILE_COUNTS) + 1):
        folder = session.drive_c("users", f"bench-{number}")
        if not os.path.isdir(folder):
            os.makedirs(os.path.join(folder, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs",
                                     "Startup"))
            with open(os.path.join(folder, "NTUSER.DAT"), "w", encoding="utf-8") as hive:
                hive.write("WINE REGISTRY Version 2\n\n")
        key = f"[{'-' if number > count else ''}{PROFILE_LIST}\\S-1-5-21-9-9-9-{number}]"
        lines += [key] if number > count else [key, f'"ProfileImagePath"="C:\\\\users\\\\bench-{number}"', ""]
    staged = os.path.join(session.work_dir, "profiles.reg")
    with open(staged, "w", encoding="utf-16") as reg_file:
        reg_file.write("\r\n".join(lines) + "\r\n")
    result = session.wine("reg", "import", session.unix_to_windows(staged), "/reg:64")
    if result.returncode != 0:
        raise SystemExit(f"could not stage {count} profiles: {result.stdout.decode(errors='replace')}")


def processor_seconds(pid):
    """The user and system time a process has used so far, from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def quarters_of_the_list(session, command):
    """The mean milliseconds from one profile's first hive load to the next, in each quarter of ProfileList."""
    env = dict(session.env, WINEDEBUG="+timestamp,+reg")
    result = subprocess.run(command + ["/AllProfiles"], env=env, cwd=session.drive_c(), timeout=RUN_SECONDS,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    # Two loads a profile: to read its AppData, then to write its start page.
    loads = [float(line.split(":", 1)[0]) for line in result.stderr.decode(errors="replace").splitlines()
             if ":trace:reg:NtLoadKey (" in line][::2]
    steps = [(later - earlier) * 1000 for earlier, later in zip(loads, loads[1:])]
    if len(steps) < 4:
        raise SystemExit(f"the traced run loaded {len(loads)} hives: expected one a profile")
    quarter = len(steps) // 4
    return [statistics.fmean(steps[i * quarter:(i + 1) * quarter]) for i in range(4)]


def on_one_processor(pids):
    """Keeps the processes (and the children of this one) on one processor; returns what to put back."""
    kept = {pid: os.sched_getaffinity(pid) for pid in pids}
    one = {min(os.sched_getaffinity(0))}
    for pid in pids:
        os.sched_setaffinity(pid, one)
    return kept


def time_all_profiles(session, program_commands):
    """{(arch, count): (clock, program's processor time, wineserver's processor time)} in seconds, each the
    trimmed mean of PROFILE_RUNS rounds after one warm-up round, the program and the wineserver on one
    processor; and {(arch, "quarters"): the traced run's figures}."""
    kept = on_one_processor([0, session.wineserver.pid])
    try:
        return time_rounds(session, program_commands)
    finally:
        for pid, processors in kept.items():
            os.sched_setaffinity(pid, processors)


def time_rounds(session, program_commands):
    # Every count each round, in an order of its own: a Wine session's times drift as it goes on, and counts
    # timed one after the other would take that drift for a cost of the profiles.
    runs = {(arch, count): [] for arch in program_commands for count in PROFILE_COUNTS}
    order = list(PROFILE_COUNTS)
    shuffle = random.Random(2).shuffle
    with tempfile.TemporaryFile() as errors:
        for round_number in range(PROFILE_RUNS + 1):
            shuffle(order)
            for count in order:
                stage_profiles(session, count)
                for arch, command in program_commands.items():
                    program_before = resource.getrusage(resource.RUSAGE_CHILDREN)
                    server_before = processor_seconds(session.wineserver.pid)
                    clock = time_one(command + ["/AllProfiles"], session, errors)
                    program_after = resource.getrusage(resource.RUSAGE_CHILDREN)
                    if round_number:
                        runs[(arch, count)].append((clock, program_after.ru_utime + program_after.ru_stime -
                                                    program_before.ru_utime - program_before.ru_stime,
                                                    processor_seconds(session.wineserver.pid) - server_before))
        times = {key: tuple(trimmed_mean([run[i] for run in samples]) for i in range(3))
                 for key, samples in runs.items()}
        stage_profiles(session, PROFILE_COUNTS[-1])
        for arch, command in program_commands.items():
            times[(arch, "quarters")] = quarters_of_the_list(session, command)
    return times


def trimmed_mean(values):
    ordered = sorted(values)
    cut = int(len(ordered) * TRIMMED_SHARE)
    return statistics.fmean(ordered[cut:len(ordered) - cut])


def with_spread(samples, statistic):
    """The statistic of the rounds, and the half-width of its 95% interval over
    resampled rounds. samples: {name: [seconds per round]}, rounds aligned."""
    rounds = len(next(iter(samples.values())))
    resample = random.Random(1)
    values = []
    for _ in range(RESAMPLES):
        picked = [resample.randrange(rounds) for _ in range(rounds)]
        values.append(statistic({name: [times[i] for i in picked] for name, times in samples.items()}))
    values.sort()
    low, high = values[int(RESAMPLES * 0.025)], values[int(RESAMPLES * 0.975) - 1]
    return statistic(samples), (high - low) / 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dist", required=True)
    parser.add_argument("--floor-dir", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runs", type=int, default=100)
    options = parser.parse_args()
    if options.runs < 20:
        parser.error("at least 20 runs each")

    # Each with its own loader: Debian's wine starts the 32-bit one, which would
    # start the 64-bit one over again for every x64 program.
    commands = {}
    for arch in ARCHES:
        program = os.path.abspath(os.path.join(options.dist, f"remediate-{arch}.exe"))
        commands[f"remediate-{arch}"] = [loader(arch), program]
        for floor in ("floor-plain", "floor-gui"):
            commands[f"{floor}-{arch}"] = [loader(arch), os.path.abspath(os.path.join(options.floor_dir, arch,
                                                                                f"bench-{floor}-{arch}.exe"))]
    for name, command in commands.items():
        if not os.path.isfile(command[1]):
            parser.error(f"{name}: no such file {command[1]}")

    # The plain desktop, as a deployed desktop has: nothing of the tests' own set-up.
    with WineSession(options.work, "x64", virtual_desktop=False) as session:
        for arch in ARCHES:
            commands[f"script-{arch}"] = [loader(arch), "cmd", "/c", session.unix_to_windows(SCRIPT)]
        samples = time_interleaved(commands, session, options.runs)
        profile_times = time_all_profiles(session, {arch: commands[f"remediate-{arch}"] for arch in ARCHES})

    print(f"\nMachine: {machine()}")
    print(f"Means of {options.runs} interleaved runs each, less the fastest and slowest {TRIMMED_SHARE:.0%}, after "
          f"{WARM_UP_ROUNDS} warm-up rounds, wineserver kept warm, no shortcut; each \u00b1 its 95% spread:")
    for name, times in samples.items():
        mean, spread = with_spread({name: times}, lambda picked: trimmed_mean(picked[name]))
        print(f"  {name:<18} {mean * 1000:8.1f} \u00b1 {spread * 1000:4.1f} ms")
    met = True
    for arch in ARCHES:
        program = f"remediate-{arch}"
        verdicts = []
        for other, target in TARGETS.items():
            pair = {program: samples[program], other: samples[f"{other}-{arch}"]}
            ratio, spread = with_spread(pair, lambda picked: trimmed_mean(picked[program]) / trimmed_mean(picked[other]))
            if ratio <= target:
                verdict = "met"
            elif ratio - spread <= target:
                verdict = "within the spread"
            else:
                verdict, met = "MISSED", False
            verdicts.append(f"{ratio:.3f}x \u00b1 {spread:.3f} the {other} (target {target}x: {verdict})")
        print(f"  {program}: " + ", ".join(verdicts))
    print(f"/AllProfiles, trimmed means of {PROFILE_RUNS} runs after one, beside Wine's own signed-in user; "
          f"each profile's share between {', '.join(str(count) for count in PROFILE_COUNTS)} profiles:")
    for arch in ARCHES:
        for which, what in enumerate(("clock", "program's processor time", "wineserver's processor time")):
            figures = [f"{profile_times[(arch, count)][which] * 1000:.1f}" for count in PROFILE_COUNTS]
            growth = [(profile_times[(arch, high)][which] - profile_times[(arch, low)][which]) / (high - low) * 1000
                      for low, high in zip(PROFILE_COUNTS, PROFILE_COUNTS[1:])]
            print(f"  remediate-{arch}, {what}: " + " / ".join(figures) + " ms; each profile " +
                  ", ".join(f"{ms:.2f}" for ms in growth) + " ms")
        print(f"  remediate-{arch}, traced, {PROFILE_COUNTS[-1]} profiles, from one profile to the next in each "
              "quarter of the list: " + " / ".join(f"{ms:.2f}" for ms in profile_times[(arch, "quarters")]) + " ms")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
