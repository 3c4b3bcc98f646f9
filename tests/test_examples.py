"""Every example runs as its header says (examples/run.py NAME, against the
simulator), and the runner fails clearly, cleans up and never hangs when
something goes wrong."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
RUNNER = ROOT / "examples" / "run.py"


def run_example(name, *args, env=None, timeout=90):
    return subprocess.run(
        [sys.executable, str(RUNNER), name, *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        stdin=subprocess.DEVNULL,
    )


@pytest.mark.parametrize(
    "name, expected",
    [
        (
            "ivr",
            [
                "Summary: 4 call(s) handled",
                "voicemail /var/spool/fenwix/recordings/rec-1.wav (",
                " ms, max_duration)",
                "transferred to sip:sales@sim.fenwix (200 OK)",
                "talked to the operator on ch-1 for",
                "then the caller hung up",
                "caller hung up (the switch refused a verb: not_found)",
            ],
        ),
        (
            "originate",
            [
                'originate(to=...) -> {"call_id": "call-1", "channel": "out-1"',
                "ringing 2 phone(s): sip:bob@desk.sim.fenwix, sip:bob@mobile.sim.fenwix",
                "~ DialBranchFailed",
                "an argument mistake raises at once, nothing is sent: originate needs exactly one of to= and aor=",
                "out-1: ended (hangup); out-2: ended (hangup); out-3: refused with 'not_found'",
            ],
        ),
        (
            "per_call_server",
            [
                "3 call(s): ch-1: PIN 1234 received and read back; ch-2: PIN 1234",
                "3 call(s) dialled, 0 failure(s)",
            ],
        ),
        (
            "reconnect",
            [
                "killing the switch (SIGKILL)",
                "event stream ended without StasisEnd",
                '"vars": {"step": "on_hold"}',
                "done: the call survived the restart and was finished after it",
            ],
        ),
        (
            "transfer_outcomes",
            [
                "in-1: transfer to sip:desk@sim.fenwix: 200 OK; the call is theirs now",
                "in-2: transfer to sip:busy@sim.fenwix: 486 Busy Here; hung up",
                "in-3: no verdict within 2 s; hung up",
            ],
        ),
    ],
)
def test_example_runs_to_completion(name, expected):
    result = run_example(name)
    assert result.returncode == 0, result.stdout + result.stderr
    for fragment in expected:
        assert fragment in result.stdout, f"{fragment!r} missing from:\n{result.stdout}"
    assert f"run    | {name} finished in" in result.stdout
    assert "Traceback" not in result.stdout + result.stderr


def test_every_example_is_runnable_and_says_how():
    # Each example file states the command that runs it, and the runner knows it.
    runner = RUNNER.read_text()
    for path in sorted((ROOT / "examples").glob("*.py")):
        if path.name in ("run.py", "scenario_switch.py"):
            continue
        header = path.read_text().split('"""')[1]
        assert f"examples/run.py {path.stem}" in header, path.name
        assert f'"{path.stem}": run_{path.stem}' in runner, path.name


def _shadowing(tmp_path, module, body):
    """An environment in which `module` is a stand-in that fails on import."""
    (tmp_path / f"{module}.py").write_text(textwrap.dedent(body))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(tmp_path), env.get("PYTHONPATH")]))
    return env


def test_a_switch_that_does_not_start_fails_with_a_message(tmp_path):
    env = _shadowing(tmp_path, "fenwix_sim", "raise ImportError('simulator broken for this test')")
    result = run_example("ivr", env=env, timeout=60)
    assert result.returncode == 1
    assert "simulator broken for this test" in result.stderr
    assert "FAILED: the simulated switch exited with status 1 before it was ready" in result.stderr


def test_an_application_that_fails_makes_the_run_fail(tmp_path):
    env = _shadowing(tmp_path, "fenwix_control", "raise ImportError('module broken for this test')")
    result = run_example("originate", env=env, timeout=60)
    assert result.returncode == 1
    assert "module broken for this test" in result.stderr
    assert "FAILED: the example exited with status 1" in result.stderr
    assert "switch | stopped" in result.stdout  # the switch was stopped all the same


def test_a_run_that_takes_too_long_is_stopped():
    started = time.monotonic()
    result = run_example("ivr", "--timeout", "1", timeout=60)
    assert result.returncode == 1
    assert "FAILED: ivr did not finish within 1 s" in result.stderr
    assert "switch | stopped" in result.stdout
    assert time.monotonic() - started < 20


class RunnerProcess:
    """An example under the runner, started in the background, its output
    read as the test needs it."""

    def __init__(self, name):
        self.process = subprocess.Popen(
            [sys.executable, str(RUNNER), name],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
            text=True,
        )
        self._lines = []

    def read_until(self, fragment):
        for line in self.process.stdout:
            self._lines.append(line)
            if fragment in line:
                break

    def finish(self):
        """Everything the run printed, once it has ended on its own."""
        rest, _ = self.process.communicate(timeout=30)
        return "".join(self._lines) + rest


@pytest.fixture
def ivr_mid_call():
    """The ivr example, read until its first call is being handled."""
    run = RunnerProcess("ivr")
    try:
        run.read_until("incoming call from")
        yield run
    finally:
        run.process.kill()  # whatever the test did, nothing is left running


def test_ctrl_c_stops_the_example_and_the_switch(ivr_mid_call):
    process = ivr_mid_call.process
    process.send_signal(signal.SIGINT)
    output = ivr_mid_call.finish()
    assert process.returncode == 130, output
    assert "run    | interrupted (SIGINT); stopping ivr" in output
    assert "switch | stopped" in output


def _children(pid):
    """The processes whose parent is ``pid``, with their command lines."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except OSError:
            continue
        if int(stat.rpartition(")")[2].split()[1]) == pid:
            found.append((int(entry.name), cmdline))
    return found


def test_a_switch_that_dies_fails_the_run_at_once(ivr_mid_call):
    process = ivr_mid_call.process
    switch = [pid for pid, cmdline in _children(process.pid) if "scenario_switch.py" in cmdline]
    assert len(switch) == 1, _children(process.pid)
    started = time.monotonic()
    os.kill(switch[0], signal.SIGKILL)
    output = ivr_mid_call.finish()
    assert process.returncode == 1, output
    assert "FAILED: the simulated switch exited unexpectedly with status -9" in output
    assert time.monotonic() - started < 15  # not the 90 s time limit
