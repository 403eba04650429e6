"""The Python binding against the real server: what an integrator's first gateway does."""

import gc
import os
import re
import tempfile
import threading

import pytest

import talkhub


def test_logs_in_enters_a_group_and_takes_and_releases_the_floor(server, peer):
    bob = peer("bob", "wait", "6")
    bob.wait_for('"event":"login"')
    with talkhub.Session("127.0.0.1", server.port) as session:
        assert session.login("alice", "alice") == (1, "Dispatch")
        with pytest.raises(talkhub.TalkHubError) as refused:
            session.enter_group(3)  # alice is no member of the night shift
        assert refused.value.code > 0
        assert session.enter_group(2) == "Field team"
        session.request_floor()
        bob.wait_for('"text":"2:1001:Alice"')  # bob, a member of group 2, is told
        session.release_floor()
        bob.wait_for('"text":"2:1001"')


def test_a_temporary_call_reaches_the_called_user(server, peer):
    bob = peer("bob", "wait", "6")
    bob.wait_for('"event":"login"')
    with talkhub.Session("127.0.0.1", server.port) as session:
        session.login("alice", "alice")
        session.call(1002)
        bob.wait_for('"text":"1001:Alice"')
        session.hang_up()
        with pytest.raises(talkhub.TalkHubError) as refused:
            session.call(4242)
        assert refused.value.code == talkhub.CALL_USER_UNAVAILABLE


def test_a_recorded_turn_arrives_as_an_event_with_its_file(server, peer):
    folder = tempfile.mkdtemp(prefix="talkhub-python-records-")
    with talkhub.Session("127.0.0.1", server.port) as session:
        session.login("alice", "alice")
        session.record(folder, [1])
        bob = peer("bob", "talk", "1")
        bob.finish()
        assert bob.process.returncode == 0
        event = session.next_event(timeout=15)
        while event is not None and event.kind != "record":
            event = session.next_event(timeout=15)
        assert event is not None, "no record notice"
        assert event.code == 1002
        group, speaker, duration, path = event.text.split(",")
        assert (group, speaker) == ("1:Dispatch", "1002:Bob")
        assert int(duration) > 500
        assert os.path.getsize(path) > 0 and path.startswith(folder)


@pytest.mark.parametrize("port_of, password, code", [
    (lambda server: server.port, "wrong", talkhub.LOGIN_WRONG_PASSWORD),
    (lambda server: 9, "alice", talkhub.LOGIN_SERVER_UNREACHABLE),
])
def test_a_failed_login_raises_with_its_own_code(server, port_of, password, code):
    with talkhub.Session("127.0.0.1", port_of(server)) as session:
        with pytest.raises(talkhub.LoginRefused) as refused:
            session.login("alice", password)
        assert refused.value.code == code
        assert refused.value.name == {-2: "LOGIN_WRONG_PASSWORD", -1004: "LOGIN_SERVER_UNREACHABLE"}[code]


def test_text_goes_both_ways_as_utf8_and_a_collected_callback_is_never_called(server):
    talkhub.functions.initialize()
    try:
        talkhub.functions.set_server_info("127.0.0.1", server.port)
        arrived = threading.Event()
        answers = []
        # No reference is kept to this callable but the binding's own.
        talkhub.functions.login("alice", "alice", lambda result, text: (answers.append(text), arrived.set()))
        gc.collect()
        assert arrived.wait(10)
        assert answers == ["1:Dispatch"]
        talkhub.functions.loginout()
        # A name no account has, in another script: refused as unknown, not mangled on the way.
        arrived.clear()
        talkhub.functions.login("Алиса", "пароль", lambda result, text: (answers.append(result), arrived.set()))
        assert arrived.wait(10)
        assert answers[-1] == talkhub.LOGIN_UNKNOWN_ACCOUNT
        talkhub.functions.loginout()
    finally:
        talkhub.functions.uninitialize()


def test_every_constant_of_the_header_has_its_value():
    with open(os.environ["TALKHUB_HEADER"], encoding="utf-8") as header:
        defines = re.findall(r"^#define TALKHUB_(\w+) (.+?)\s*(?:/\*.*)?$", header.read(), re.MULTILINE)
    checked = 0
    for name, value in defines:
        if name in ("H", "API") or "(" in name:
            continue
        value = value.strip()
        if value.startswith('"'):
            expected = value.strip('"')
        elif value.startswith("((int)"):
            expected = int(value[len("((int)"):].rstrip(")").rstrip("u"), 16) - (1 << 32)
        else:
            expected = int(value.strip("()").rstrip("u"))
        assert getattr(talkhub, name) == expected, name
        checked += 1
    assert checked > 40
    assert talkhub.LOGIN_CAPTURE_FAILED(talkhub.LOGIN_NO_CAPTURE_DEVICE)
    assert not talkhub.LOGIN_CAPTURE_FAILED(talkhub.LOGIN_WRONG_PASSWORD)


def test_the_package_installs_with_pip_and_imports_from_anywhere(tmp_path):
    import subprocess
    import sys
    import shutil
    # Built from a copy: setuptools writes its build folders beside the sources.
    source = tmp_path / "source"
    shutil.copytree(os.path.join(os.path.dirname(__file__), "..", "..", "..", "bindings", "python"), source,
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    # Debian's setuptools builds it: nothing is fetched.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-index", "--no-build-isolation", str(source)],
                   check=True)
    imported = subprocess.run([str(venv / "bin" / "python"), "-c", "import talkhub; print(talkhub.__version__)"],
                              cwd=tmp_path, capture_output=True, text=True, check=True)
    assert imported.stdout.strip() == talkhub.VERSION_TEXT
