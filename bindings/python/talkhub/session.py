"""A session as a Python programmer expects it: logged in and out by a `with` block, each
answer awaited and a refusal raised, notifications and record notices as events."""

import collections
import queue
import threading

from . import _constants as c
from . import functions as f

Event = collections.namedtuple("Event", "kind code text")
Event.__doc__ = """kind "notify" (code: a NOTIFY_* code) or "record" (code: the speaker's user id)."""

_LOGIN_NAMES = {value: name for name, value in vars(c).items() if name.startswith("LOGIN_") and isinstance(value, int)}


class TalkHubError(Exception):
    """A request the library or the server refused, or left unanswered (code None)."""

    def __init__(self, what, code):
        super().__init__(f"{what} ({code})" if code is not None else what)
        self.code = code


class LoginRefused(TalkHubError):
    """The login failed; `name` is the LOGIN_* constant's name, when there is one."""

    def __init__(self, code):
        self.name = "LOGIN_CAPTURE_FAILED" if c.LOGIN_CAPTURE_FAILED(code) else _LOGIN_NAMES.get(code)
        super().__init__(f"login failed: {self.name or 'refused'}", code)


class _Answer:
    """One awaited callback's arguments."""

    def __init__(self):
        self._done = threading.Event()
        self.arguments = None

    def __call__(self, *arguments):
        self.arguments = arguments
        self._done.set()

    def wait(self, timeout, what):
        if not self._done.wait(timeout):
            raise TalkHubError(f"{what}: no answer within {timeout} s", None)
        return self.arguments


class Session:
    """with Session("127.0.0.1") as session: session.login("alice", password) ...

    Events (notifications, record notices) go to `on_event` when given, else into
    `session.events` (a queue.Queue of Event). One Session at a time per process: the
    library serves one session."""

    def __init__(self, server="127.0.0.1", port=c.DEFAULT_PORT, on_event=None, timeout=10.0):
        self.server = server
        self.port = port
        self.timeout = timeout
        self.events = queue.Queue()
        self._on_event = on_event or self.events.put

    def __enter__(self):
        f.initialize()
        f.set_server_info(self.server, self.port)
        f.set_notify_callback(lambda code, text: self._on_event(Event("notify", code, text)))
        f.set_audio_record_finish_callback(lambda user, text: self._on_event(Event("record", user, text)))
        return self

    def __exit__(self, *exception):
        f.loginout()
        f.uninitialize()
        f.set_notify_callback(None)
        f.set_audio_record_finish_callback(None)
        return False

    def login(self, account, password):
        """Logs in; returns (group id, group name) of the group entered, or raises LoginRefused."""
        answer = _Answer()
        started = f.login(account, password, answer)
        if started != c.OK:
            raise TalkHubError("login not started: a session runs already, or the server's address is bad", started)
        result, text = answer.wait(self.timeout, "login")
        if result != c.OK:
            raise LoginRefused(result)
        group, _, name = text.partition(":")
        return int(group), name

    def logout(self):
        f.loginout()

    def enter_group(self, group_id):
        """Returns the group's name, or raises TalkHubError with the server's refusal."""
        answer = _Answer()
        f.enter_group(group_id, answer)
        result, text = answer.wait(self.timeout, "enter group")
        if result != c.OK:
            raise TalkHubError(f"group {group_id} not entered", result)
        return text.partition(":")[2]

    def request_floor(self):
        """Takes the floor (talk now), or raises TalkHubError (FLOOR_BUSY, FLOOR_NOT_A_MEMBER)."""
        answer = _Answer()
        f.request_mic(answer)
        (result,) = answer.wait(self.timeout, "floor request")
        if result != c.OK:
            raise TalkHubError("floor refused", result)

    def release_floor(self):
        f.release_mic()

    def call(self, user_id):
        """Places a temporary call, or raises TalkHubError (CALL_*)."""
        answer = _Answer()
        f.temp_call(user_id, answer)
        (result,) = answer.wait(self.timeout, "call")
        if result != c.OK:
            raise TalkHubError(f"call to {user_id} refused", result)

    def hang_up(self):
        f.hang_up_temp_call()

    def record(self, folder, group_ids):
        """Records the turns of these groups as MP3 files in `folder`; each finished file
        arrives as an Event("record", user id, "group:name,user:name,duration ms,path")."""
        f.set_record_save_path(folder)
        for group_id in group_ids:
            f.open_group_record(group_id)

    def next_event(self, timeout=None):
        """The next event from the queue (when no on_event was given); None after the timeout."""
        try:
            return self.events.get(timeout=self.timeout if timeout is None else timeout)
        except queue.Empty:
            return None
