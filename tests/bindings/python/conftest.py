"""The real server on loopback, a private silent microphone and a speaker that discards, for
the binding's tests. CTest names the programs: TALKHUB_LIBRARY, TALKHUB_SERVER, TALKHUB_CLI
and TALKHUB_HEADER."""

import os
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "bindings", "python"))

_devices = tempfile.mkdtemp(prefix="talkhub-python-")
with open(os.path.join(_devices, "asound.conf"), "w") as config:
    config.write('pcm.!default {\n type file\n slave.pcm { type null }\n file "/dev/null"\n'
                 ' infile "/dev/zero"\n format "raw"\n}\n')
# Read by the library's devices when they open: before any test logs in.
os.environ["ALSA_CONFIG_PATH"] = os.path.join(_devices, "asound.conf")
os.environ["SDL_AUDIODRIVER"] = "dummy"


class Server:
    """talkhub-server with its built-in directory (alice, bob, carol, dave; each password
    is the account's name) on ports of its own."""

    def __init__(self):
        self.process = subprocess.Popen(
            [os.environ["TALKHUB_SERVER"], "--bind", "127.0.0.1", "--tcp-port", "0", "--udp-port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        self.port = int(line.split("127.0.0.1:")[1].split(" ")[0])

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


@pytest.fixture(scope="session")
def server():
    running = Server()
    yield running
    running.stop()


class Peer:
    """talkhub-cli as another user, its events as JSON lines."""

    def __init__(self, port, account, *commands):
        self.process = subprocess.Popen(
            [os.environ["TALKHUB_CLI"], "-u", account, "-p", str(port), "--no-mic", "--no-speaker", "--json",
             *commands], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def wait_for(self, text, timeout=10):
        """Reads lines until one holds `text`; all read so far."""
        seen = ""
        import select
        import time
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            ready, _, _ = select.select([self.process.stdout], [], [], until - time.monotonic())
            if not ready:
                break
            line = self.process.stdout.readline()
            if not line:
                break
            seen += line
            if text in line:
                return seen
        raise AssertionError(f"{text!r} not seen; the peer said:\n{seen}")

    def finish(self):
        output, _ = self.process.communicate(timeout=30)
        return output


@pytest.fixture
def peer(server):
    started = []

    def start(account, *commands):
        started.append(Peer(server.port, account, *commands))
        return started[-1]

    yield start
    for running in started:
        running.process.kill()
        running.process.wait()
