#!/usr/bin/env python3
"""Fault soak: the simulator daemon, the panel and a streaming host run together, each its own
process, while faults come at random times from a seeded generator. Counts and prints the faults
injected, crashes, hangs, bad settings files and streams that did not come back.

    python3 bench/soak/soak.py --build build/linux --faults 1000 --seed 7

Exit status 0 when every count but the faults is 0, 1 otherwise, 2 when it could not start.
"""

import argparse
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

# Every wait has a bound; going past one is a hang.
CTL_BOUND = 5.0  # a control command answers
PANEL_ANSWER_BOUND = 10.0  # the panel serves a status message and its window reacts
PANEL_START_BOUND = 20.0  # a started panel finds the device
PANEL_STOP_BOUND = 10.0  # a panel asked to end has ended
HOST_END_SLACK = 20.0  # a host ends this long after the seconds it was given at the latest
RECOVERY_BOUND = 20.0  # after a fault is undone the stream runs again
SILENCE_BOUND = 3.0  # a stream without switches this long after the last fault has stopped
ENGINE_STOPPED_GRACE = 4.0  # an engine a failed settings step left stopped (no retry by design)

SANITIZER = re.compile(
    r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|WARNING: ThreadSanitizer|runtime error:"
)

# The keys each page stores, with the range its control takes (None: a switch).
VOLUME = (-80, 6)
MIC = (0, 40)
PAGE_KEYS = {
    "wren": {
        "Button/Mic120dBIsChecked": None, "Button/Mic148VIsChecked": None,
        "Button/MonitorMic1IsChecked": None, "Dial/Mic1Value": MIC, "Dial/Mic2Value": MIC,
        "Button/Mic220dBIsChecked": None, "Button/Mic248VIsChecked": None,
        "Button/MonitorMic2IsChecked": None, "Dial/SpeakerValue": VOLUME,
        "Button/SpeakerMuteIsChecked": None, "Button/SpeakerDimIsChecked": None,
        "Dial/HeadphoneValue": VOLUME, "Button/HeadphoneMuteIsChecked": None,
        "Button/HeadphoneDimIsChecked": None, "Dial/OtgToHpValue": VOLUME,
        "Dial/OtgToSPValue": VOLUME,
    },
    "tern": {
        "Button/MicInstrIsChecked": None, "Button/Mic20dBIsChecked": None,
        "Button/Mic48VIsChecked": None, "Button/MonitorMicIsChecked": None,
        "Dial/MicValue": MIC, "Dial/HeadphoneValue": VOLUME,
        "Button/HeadphoneMuteIsChecked": None, "Button/HeadphoneDimIsChecked": None,
        "Dial/OtgToHpValue": VOLUME,
    },
    "kite": {
        "Button/MonitorMicIsChecked": None, "Dial/MicValue": MIC, "Dial/HeadphoneValue": VOLUME,
        "Button/HeadphoneMuteIsChecked": None, "Button/HeadphoneDimIsChecked": None,
    },
}
# Buffer size and the USB latency it needs; a stored latency at or below it is never lowered
# by the buffer-size step, so the file holds exactly what was stored.
BUFFER_LATENCY = {"48": 8, "64": 8, "96": 16, "128": 16, "192": 24, "256": 24, "512": 32,
                  "1024": 32}

# The panel's log line after each stored setting: the last completed change of that key. The
# buffer-size step may lower the latency on its own, so a stored latency can change without a new
# file from here.
STORED_LINES = {
    "音频缓冲区大小设置已保存：": "Audio/BufferSize",
    "USB延迟大小设置已保存：": "USB/LatencySize",
    "音频采样率设置已保存：": "Audio/SampleRate",
    "USB慢速模式设置已保存：": "USB/SlowMode",
}
STORED = re.compile(r'^(%s) "([^"]*)"$' % "|".join(STORED_LINES), re.M)
# A latency change announced and not yet logged as stored: a kill may land between the two.
LATENCY_ANNOUNCED = re.compile(r"^设置USB延迟大小为： (\d+) Frame$", re.M)

PANEL_PIPE = "HalvernASIOToPannel"  # served by the panel, message pipe
DRIVER_PIPE = "HalvernPannelToASIO"  # served by the driver inside the host, byte pipe


def parse_ini(path):
    """A strict reading of a settings file: sections, key=value lines, blank lines; anything else
    is a bad file. Returns {"Section/key": "value"} or raises ValueError."""
    values = {}
    section = None
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8")  # raises on a torn multi-byte sequence
    for n, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        m = re.fullmatch(r"\[([A-Za-z0-9_]+)\]", line)
        if m:
            section = m.group(1)
            continue
        m = re.fullmatch(r"([A-Za-z0-9_]+)=(.*)", line)
        if not m or section is None:
            raise ValueError("line %d is not a setting: %r" % (n, line))
        key = section + "/" + m.group(1)
        if key in values:
            raise ValueError("key %s twice" % key)
        values[key] = m.group(2)
    return values


def write_ini(path, values):
    sections = {}
    for key, value in values.items():
        section, name = key.split("/", 1)
        sections.setdefault(section, []).append((name, value))
    tmp = path + ".soak"
    with open(tmp, "w") as f:
        for section in sorted(sections):
            f.write("[%s]\n" % section)
            for name, value in sorted(sections[section]):
                f.write("%s=%s\n" % (name, value))
            f.write("\n")
    os.replace(tmp, path)


class Soak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        build = args.build
        self.sim_bin = os.path.join(build, "sim/halvern-bus-sim")
        self.host_bin = os.path.join(build, "tools/asio-host/halvern-asio-host")
        self.driver_lib = os.path.join(build, "driver/HalvernASIO/libHalvernASIO.so")
        self.mixer_bin = os.path.join(build, "panel/HalvernMixer")
        self.work = tempfile.mkdtemp(prefix="halvern-soak.")
        self.runtime = os.path.join(self.work, "runtime")
        self.data = os.path.join(self.work, "data")
        self.settings_dir = os.path.join(self.data, "HalvernMixer")
        self.logs = os.path.join(self.work, "logs")
        for d in (self.runtime, self.data, self.settings_dir, self.logs,
                  os.path.join(self.work, "tmp")):
            os.makedirs(d, exist_ok=True)
        self.env = dict(os.environ)
        self.env.update({
            "HALVERN_RUNTIME_DIR": self.runtime,
            "HALVERN_REGISTRY": os.path.join(self.work, "registry.reg"),
            "XDG_DATA_HOME": self.data,
            "XDG_RUNTIME_DIR": os.path.join(self.work, "tmp"),
            "TMPDIR": os.path.join(self.work, "tmp"),  # the panel's single-instance keys
            "QT_QPA_PLATFORM": "offscreen",
            "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8",
        })
        self.env.pop("DISPLAY", None)
        self.env.pop("HALVERN_TRACE", None)
        self.counts = {k: 0 for k in ("faults", "crashes", "hangs", "bad_settings",
                                      "unrecovered")}
        self.by_fault = {}
        self.notes = []  # one line per crash, hang, bad file or unrecovered stream
        self.info = {"host_runs": 0, "host_exit_0": 0, "host_exit_5": 0, "host_exit_6": 0,
                     "host_resets": 0, "host_switches": 0, "panel_starts": 0,
                     "panel_kills": 0, "engine_restarts": 0, "pipe_messages": 0}
        self.sim = None
        self.panel = None
        self.panel_log = None
        self.panel_n = 0
        self.host = None
        self.host_n = 0
        self.model = "wren"
        self.targets = {}
        self.settings_since = 1  # the first panel that applies the current files
        self.last_fault_at = 0.0
        self.last_fault_wall = 0.0  # the same moment on the clock of the hosts' log files
        self.current = "start"

    # --- bookkeeping ---------------------------------------------------------------------------
    def fault(self, what, text):
        self.counts[what] += 1
        line = "fault %d (%s): %s: %s" % (self.counts["faults"], self.current, what, text)
        self.notes.append(line)
        print("soak: " + line, flush=True)

    def log(self, text):
        if self.args.verbose:
            print("soak: " + text, flush=True)

    # --- processes -----------------------------------------------------------------------------
    def spawn(self, argv, name):
        out = open(os.path.join(self.logs, name), "wb")
        p = subprocess.Popen(argv, env=self.env, stdout=out, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL)
        p.log_path = out.name
        p.expected_end = False
        out.close()
        return p

    def ctl(self, *words, quiet=False):
        try:
            r = subprocess.run([self.sim_bin, "ctl"] + [str(w) for w in words], env=self.env,
                               capture_output=True, timeout=CTL_BOUND)
        except subprocess.TimeoutExpired:
            self.fault("hangs", "ctl %s did not answer in %.0f s" % (" ".join(map(str, words)),
                                                                     CTL_BOUND))
            return None
        if r.returncode != 0 and not quiet:
            self.fault("crashes" if self.sim.poll() is not None else "hangs",
                       "ctl %s failed: %s" % (" ".join(map(str, words)),
                                              r.stderr.decode(errors="replace").strip()))
            return None
        return r.stdout.decode(errors="replace")

    def status(self):
        text = self.ctl("status")
        if text is None:
            return {}
        return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)

    def start_sim(self):
        self.sim = self.spawn([self.sim_bin, "--model", "wren", "--loopback"], "sim.log")
        end = time.monotonic() + 10
        while time.monotonic() < end:
            if self.sim.poll() is not None:
                raise RuntimeError("halvern-bus-sim ended at start (see %s)" % self.sim.log_path)
            if self.ctl("status", quiet=True) is not None:
                return
            time.sleep(0.1)
        raise RuntimeError("halvern-bus-sim was not ready in 10 s")

    def start_panel(self):
        self.panel_n += 1
        self.info["panel_starts"] += 1
        self.panel = self.spawn([self.mixer_bin], "panel-%d.log" % self.panel_n)
        self.panel.started_at = time.monotonic()

    def panel_text(self):
        try:
            with open(self.panel.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def wait_panel_found(self):
        """True once the panel found the device (or the device is away: it cannot)."""
        end = time.monotonic() + PANEL_START_BOUND
        while time.monotonic() < end:
            if not self.check_panel():
                return False
            if "Device found with PID:" in self.panel_text():
                return True
            time.sleep(0.05)
        self.fault("hangs", "panel %d did not find the device in %.0f s"
                   % (self.panel_n, PANEL_START_BOUND))
        return False

    def stop_panel(self, sig=signal.SIGTERM):
        p = self.panel
        if p is None:
            return
        p.expected_end = True
        if p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(PANEL_STOP_BOUND)
            except subprocess.TimeoutExpired:
                self.fault("hangs", "panel %d did not end in %.0f s after signal %d"
                           % (self.panel_n, PANEL_STOP_BOUND, sig))
                p.kill()
                p.wait()
        if sig == signal.SIGTERM and p.returncode != 0:
            self.fault("crashes", "panel %d ended with %d when asked to end"
                       % (self.panel_n, p.returncode))
        self.panel = None

    def check_panel(self):
        p = self.panel
        if p is None or p.poll() is None:
            return True
        if not p.expected_end:
            self.fault("crashes", "panel %d ended on its own with %d (log %s)"
                       % (self.panel_n, p.returncode, p.log_path))
            self.panel = None
            self.start_panel()
        return False

    def start_host(self):
        self.host_n += 1
        seconds = self.rng.uniform(8, 30)
        self.host = self.spawn([self.host_bin, "--stream", "--seconds", "%.1f" % seconds,
                                "--json"], "host-%d.log" % self.host_n)
        self.host.seconds = seconds
        self.host.started_at = time.monotonic()
        self.info["host_runs"] += 1

    def check_host(self):
        """Reads a host that ended and starts the next; kills one past its bound."""
        p = self.host
        if p is None:
            self.start_host()
            return
        if p.poll() is None:
            if time.monotonic() - p.started_at > p.seconds + HOST_END_SLACK:
                self.fault("hangs", "host %d still runs %.0f s after its %.1f s"
                           % (self.host_n, HOST_END_SLACK, p.seconds))
                p.kill()
                p.wait()
                self.start_host()
            return
        code = p.returncode
        with open(p.log_path, "rb") as f:
            text = f.read().decode(errors="replace")
        # The report is the last line; the driver's own prints may run into it without a newline.
        report = re.search(r'\{"started":.*\}$', text, re.M)
        if code < 0 or code not in (0, 5, 6) or report is None:
            self.fault("crashes", "host %d ended with %d%s (log %s)"
                       % (self.host_n, code, "" if report else ", no report", p.log_path))
        else:
            self.info["host_exit_%d" % code] += 1
            j = report.group(0)
            m = re.search(r'"resets":(\d+)', j)
            self.info["host_resets"] += int(m.group(1)) if m else 0
            m = re.search(r'"switches":(\d+)', j)
            self.info["host_switches"] += int(m.group(1)) if m else 0
            m = re.search(r'"segment_switches":\[([0-9,]*)\]', j)
            segments = [int(x) for x in m.group(1).split(",") if x] if m else []
            # A stream that started and delivered nothing while no fault was near: the driver
            # did not come back.
            quiet_end = time.monotonic() - self.last_fault_at > 3.0
            if code == 0 and segments and segments[-1] == 0 and quiet_end:
                self.fault("unrecovered", "host %d: its last stream delivered no switch"
                           % self.host_n)
            else:
                # A stream that went silent and stayed so, long after the last fault: the
                # driver neither streamed on nor asked for a reset. The report is the log's
                # last write, so its time is when the stream ended.
                m = re.search(r'"silent_tail_s":([0-9.]+)', j)
                tail = float(m.group(1)) if m else 0.0
                after_fault = os.path.getmtime(p.log_path) - self.last_fault_wall
                if code in (0, 6) and min(tail, after_fault) >= SILENCE_BOUND:
                    self.fault("unrecovered", "host %d: no switch in the last %.1f s of its "
                               "stream (log %s)" % (self.host_n, tail, p.log_path))
        self.start_host()

    def check_sim(self):
        if self.sim.poll() is not None:
            self.fault("crashes", "halvern-bus-sim ended with %d" % self.sim.returncode)
            raise RuntimeError("the simulator is gone")

    # --- checks after each fault ---------------------------------------------------------------
    def probe_panel(self, tag):
        """A status message asking for the window: the pipe thread must read it and the GUI
        thread must show the window, both within the bound."""
        if self.panel is None:
            return
        path = os.path.join(self.runtime, "pipe", PANEL_PIPE)
        before = self.panel_text().count("Received signal from pipe thread to show settings")
        end = time.monotonic() + PANEL_ANSWER_BOUND
        sent = False
        while time.monotonic() < end and not sent:
            if not self.check_panel():
                return
            try:
                s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
                s.settimeout(max(0.1, end - time.monotonic()))
                s.connect(path)
                s.send(struct.pack("<5I", tag, 1024, 44100, 1, 1))
                s.close()
                sent = True
            except OSError:
                time.sleep(0.1)  # the pipe is between instances or not created yet
        line = "Received data from pipe: %d 1024 44100 1 1" % tag
        while time.monotonic() < end:
            if not self.check_panel():
                return
            text = self.panel_text()
            if (line in text and text.count("Received signal from pipe thread to show settings")
                    > before):
                return
            time.sleep(0.05)
        self.fault("hangs", "panel %d did not answer a status message in %.0f s%s"
                   % (self.panel_n, PANEL_ANSWER_BOUND, "" if sent else " (no connection)"))

    def wait_stream(self):
        """After a fault: the stream runs again, with the device's clock advancing."""
        end = time.monotonic() + RECOVERY_BOUND
        last_periods = None
        stopped_since = None
        restarted_panel = False
        while time.monotonic() < end:
            self.check_sim()
            self.check_host()
            self.check_panel()
            st = self.status()
            if st.get("streaming") == "yes" and st.get("ASIO started") == "yes":
                periods = int(st.get("periods", "0"))
                if last_periods is not None and periods > last_periods:
                    return True
                last_periods = periods
            else:
                last_periods = None
            # A settings step that failed leaves the engine stopped on purpose (the panel never
            # retries); a user restarts the panel, which applies the stored settings again.
            if st.get("engine") == "stopped":
                stopped_since = stopped_since or time.monotonic()
                if (not restarted_panel and self.panel is not None
                        and time.monotonic() - stopped_since > ENGINE_STOPPED_GRACE):
                    self.info["engine_restarts"] += 1
                    restarted_panel = True
                    self.stop_panel()
                    self.start_panel()
                    end = max(end, time.monotonic() + RECOVERY_BOUND)
            else:
                stopped_since = None
            time.sleep(0.25)
        self.fault("unrecovered", "no stream %.0f s after the fault was undone (status: %s)"
                   % (RECOVERY_BOUND, ", ".join("%s=%s" % (k, st.get(k)) for k in
                                                ("plugged", "engine", "ASIO started",
                                                 "streaming", "periods"))))
        # Go on from a known state: a new host and a new panel.
        if self.host is not None and self.host.poll() is None:
            self.host.kill()
            self.host.wait()
            self.host = None
        self.stop_panel()
        self.start_panel()
        return False

    def logged_settings(self):
        """setting.ini as the panels since the last new files stored it, and the latency the
        last of them announced last."""
        expected = dict(self.targets.get("setting.ini", {}))
        announced = None
        for n in range(self.settings_since, self.panel_n + 1):
            try:
                with open(os.path.join(self.logs, "panel-%d.log" % n), "rb") as f:
                    text = f.read().decode(errors="replace")
            except OSError:
                continue
            for m in STORED.finditer(text):
                expected[STORED_LINES[m.group(1)]] = m.group(2)
            found = LATENCY_ANNOUNCED.findall(text)
            announced = found[-1] if found else announced
        return expected, announced

    def check_settings(self):
        for name in list(self.targets):
            expected = self.targets[name]
            announced = None
            if name == "setting.ini":
                expected, announced = self.logged_settings()
            path = os.path.join(self.settings_dir, name)
            if not os.path.exists(path):
                continue
            try:
                got = parse_ini(path)
            except (ValueError, UnicodeDecodeError) as e:
                self.fault("bad_settings", "%s does not parse: %s" % (name, e))
                write_ini(path, expected)
                continue
            # Every key was written here, so a key must hold the last value stored, and nothing
            # else may appear.
            diff = sorted(k for k in set(got) | set(expected) if got.get(k) != expected.get(k))
            if diff == ["USB/LatencySize"] and got.get(diff[0]) == announced:
                continue  # stored, and the panel was killed before it said so
            if diff:
                self.fault("bad_settings", "%s differs from the last change at %s"
                           % (name, ", ".join("%s=%r (stored %r)" % (k, got.get(k),
                                                                    expected.get(k))
                                              for k in diff[:4])))
                write_ini(path, expected)

    # --- what a change of settings looks like on disk --------------------------------------------
    def new_targets(self):
        """Fresh stored settings for every file, written while the panel is stopped; the next
        panel applies them, which is a settings sequence on the device."""
        size = self.rng.choice(list(BUFFER_LATENCY))
        latency = self.rng.choice([x for x in (8, 16, 24, 32) if x <= BUFFER_LATENCY[size]])
        self.targets["setting.ini"] = {
            "Audio/BufferSize": size,
            "Audio/SampleRate": self.rng.choice(["44100", "48000"]),
            "USB/LatencySize": str(latency),
            "USB/SlowMode": self.rng.choice(["Disabled", "Enabled"]),
        }
        for page, keys in PAGE_KEYS.items():
            values = {}
            for key, span in keys.items():
                if span is None:
                    values[key] = self.rng.choice(["true", "false"])
                else:
                    values[key] = str(self.rng.randint(*span))
            self.targets[page + ".ini"] = values
        for name, values in self.targets.items():
            write_ini(os.path.join(self.settings_dir, name), values)
        self.settings_since = self.panel_n + 1

    # --- the faults ----------------------------------------------------------------------------
    def hold(self, low, high):
        time.sleep(self.rng.uniform(low, high))

    def f_unplug_stream(self):
        self.ctl("unplug")
        self.hold(0.1, 2.5)
        self.ctl("replug")

    def f_unplug_settings(self):
        # The panel starts with new stored settings and loses the device in the middle of
        # applying them; it applies them again when it finds the device back.
        self.stop_panel()
        self.new_targets()
        self.start_panel()
        self.hold(0.2, 2.5)
        self.ctl("unplug")
        self.hold(0.1, 2.0)
        self.ctl("replug")
        self.wait_panel_found()

    def f_fail_requests(self):
        code = self.rng.choice(["any", "IOCTL_AUDIO_GET_SAMPLE_RATE", "IOCTL_AUDIO_GET_BUFFER_SIZE",
                                "IOCTL_ASIO_START", "IOCTL_DEVICE_GET_PID",
                                "IOCTL_DEVICE_SEND_COMMAND"])
        error = self.rng.choice([31, 1167, 2])
        self.ctl("fail", code, error, self.rng.randint(1, 8))
        self.hold(0.2, 1.5)
        self.ctl("clear-faults")

    def f_slow_requests(self):
        code = self.rng.choice(["any", "IOCTL_AUDIO_GET_SAMPLE_RATE", "IOCTL_ASIO_START",
                                "IOCTL_DEVICE_SEND_COMMAND"])
        self.ctl("slow", code, self.rng.randint(20, 600))
        self.hold(0.3, 2.0)
        self.ctl("slow", code, 0)

    def f_fail_commands(self):
        op = self.rng.choice(["out-volume", "mic-volume", "mic-20db", "mic-48v", "otg-off",
                              "otg-on", "mic-instrument"])
        self.ctl("fail-command", op, 31, self.rng.randint(1, 5))
        self.hold(0.2, 1.5)
        self.ctl("restore-command", op)

    def f_fail_opens(self):
        self.ctl("fail-opens", self.rng.randint(1, 6), 2, self.rng.randint(0, 3))
        self.hold(0.3, 2.0)
        self.ctl("clear-faults")

    def f_hardware_stop(self):
        self.ctl("stop-stream")

    def f_stall_clock(self):
        self.ctl("stall-clock", self.rng.randint(5, 300))

    def f_pipe_flood(self):
        # Malformed and partial messages to both pipes: short, long, torn, empty, and clients
        # that connect and leave; the panel's pipe serves one message per pass.
        for _ in range(self.rng.randint(5, 40)):
            to_panel = self.rng.random() < 0.6
            path = os.path.join(self.runtime, "pipe", PANEL_PIPE if to_panel else DRIVER_PIPE)
            kind = socket.SOCK_SEQPACKET if to_panel else socket.SOCK_STREAM
            shape = self.rng.choice(["empty", "short", "status", "long", "huge", "torn"])
            size = {"empty": 0, "short": self.rng.randint(1, 19), "status": 20,
                    "long": self.rng.randint(21, 1024), "huge": self.rng.randint(1025, 70000),
                    "torn": self.rng.randint(1, 4096)}[shape]
            body = bytes(self.rng.getrandbits(8) for _ in range(min(size, 256)))
            body = (body * (size // max(1, len(body)) + 1))[:size]
            if shape == "status":  # a well-formed size with random fields but no window request
                body = body[:16] + b"\0\0\0\0"
            try:
                s = socket.socket(socket.AF_UNIX, kind)
                s.settimeout(1.0)
                s.connect(path)
                if shape == "torn":
                    s.send(body[: len(body) // 2])
                    s.shutdown(socket.SHUT_WR)
                elif size:
                    s.send(body)
                s.close()
                self.info["pipe_messages"] += 1
            except OSError:
                pass  # a busy or absent pipe refuses: that is an answer, not a fault
            time.sleep(self.rng.uniform(0, 0.02))

    def f_kill_panel_writing(self):
        # The panel rewrites its files while it pushes them to the device at start and after it
        # finds the device again; a kill there must leave a whole file.
        self.stop_panel()
        self.new_targets()
        self.start_panel()
        self.hold(0.3, 3.0)
        self.info["panel_kills"] += 1
        self.stop_panel(signal.SIGKILL)
        self.check_settings()
        self.start_panel()
        self.wait_panel_found()

    def f_model_change(self):
        self.ctl("unplug")
        self.model = self.rng.choice([m for m in ("wren", "tern", "kite") if m != self.model])
        self.ctl("model", self.model)
        self.hold(0.1, 1.0)
        self.ctl("replug")

    FAULTS = [  # name, weight
        ("unplug_stream", 14), ("unplug_settings", 8), ("fail_requests", 12),
        ("slow_requests", 10), ("fail_commands", 8), ("fail_opens", 6), ("hardware_stop", 10),
        ("stall_clock", 6), ("pipe_flood", 10), ("kill_panel_writing", 8), ("model_change", 8),
    ]

    # --- the run -------------------------------------------------------------------------------
    def run(self):
        print("soak: seed %d, %d faults, build %s, work %s" % (self.args.seed, self.args.faults,
                                                               self.args.build, self.work),
              flush=True)
        begin = time.monotonic()
        self.start_sim()
        r = subprocess.run([self.host_bin, "--register", self.driver_lib], env=self.env,
                           capture_output=True, timeout=30)
        if r.returncode != 0:
            raise RuntimeError("registration failed: %s" % r.stderr.decode(errors="replace"))
        self.new_targets()
        self.start_panel()
        self.wait_panel_found()
        self.start_host()
        self.wait_stream()

        names = [n for n, _ in self.FAULTS]
        weights = [w for _, w in self.FAULTS]
        for i in range(self.args.faults):
            # Spread the kinds evenly over a short run, at random over a long one.
            name = names[i] if i < len(names) else self.rng.choices(names, weights)[0]
            self.current = name
            time.sleep(self.rng.uniform(0.0, 1.0))  # the fault lands at a random moment
            self.check_host()
            self.check_panel()
            self.counts["faults"] += 1
            self.by_fault[name] = self.by_fault.get(name, 0) + 1
            self.log("fault %d: %s" % (i + 1, name))
            getattr(self, "f_" + name)()
            self.last_fault_at = time.monotonic()
            self.last_fault_wall = time.time()
            self.check_sim()
            self.wait_stream()
            self.probe_panel(900000 + i)
            self.check_settings()
            if self.args.progress and (i + 1) % self.args.progress == 0:
                print("soak: %d faults, %.0f s, crashes %d, hangs %d, bad settings %d, "
                      "unrecovered %d" % (i + 1, time.monotonic() - begin, self.counts["crashes"],
                                          self.counts["hangs"], self.counts["bad_settings"],
                                          self.counts["unrecovered"]), flush=True)
        self.current = "end"
        self.finish()
        return time.monotonic() - begin

    def finish(self):
        # Everything ends when asked, within its bound, and cleanly.
        if self.host is not None:
            try:
                self.host.wait(self.host.seconds + HOST_END_SLACK)
            except subprocess.TimeoutExpired:
                self.fault("hangs", "host %d did not end" % self.host_n)
                self.host.kill()
                self.host.wait()
            self.check_host()  # reads its report, starts one more
            self.host.kill()
            self.host.wait()
            self.host = None
        self.check_panel()
        self.stop_panel()
        self.check_settings()
        self.sim.send_signal(signal.SIGTERM)
        try:
            if self.sim.wait(10) != 0:
                self.fault("crashes", "halvern-bus-sim ended with %d" % self.sim.returncode)
        except subprocess.TimeoutExpired:
            self.fault("hangs", "halvern-bus-sim did not end in 10 s")
            self.sim.kill()
        for name in sorted(os.listdir(self.logs)):
            with open(os.path.join(self.logs, name), "rb") as f:
                for line in f.read().decode(errors="replace").splitlines():
                    if SANITIZER.search(line):
                        self.fault("crashes", "sanitizer report in %s: %s" % (name, line[:200]))
                        break

    def cleanup(self):
        for p in (self.host, self.panel, self.sim):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        if self.args.keep or any(self.counts[k] for k in self.counts if k != "faults"):
            print("soak: logs kept in %s" % self.logs)
        else:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.environ.get("HALVERN_BUILD_DIR", "build/linux"))
    ap.add_argument("--faults", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--progress", type=int, default=50, help="a progress line every N faults")
    ap.add_argument("--keep", action="store_true", help="keep the logs")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "little")
    soak = Soak(args)
    # A termination request still stops the three processes and keeps the logs.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    status = 2
    try:
        seconds = soak.run()
        c = soak.counts
        print("soak: seed %d" % args.seed)
        print("soak: faults injected %d in %.0f s (%s)" % (
            c["faults"], seconds, ", ".join("%s %d" % (n, soak.by_fault.get(n, 0))
                                            for n, _ in Soak.FAULTS)))
        print("soak: crashes %d" % c["crashes"])
        print("soak: hangs %d" % c["hangs"])
        print("soak: bad settings files %d" % c["bad_settings"])
        print("soak: unrecovered streams %d" % c["unrecovered"])
        print("soak: " + ", ".join("%s %d" % kv for kv in soak.info.items()))
        status = 0 if not any(c[k] for k in c if k != "faults") else 1
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print("soak: could not go on: %s" % e, file=sys.stderr)
        for line in soak.notes:
            print("soak: " + line, file=sys.stderr)
    finally:
        soak.cleanup()
    sys.exit(status)


if __name__ == "__main__":
    main()
