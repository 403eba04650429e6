"""The 42 functions of the library, declared for ctypes, and the callbacks they take.

Text goes to the library as UTF-8 and comes back decoded from UTF-8. The library keeps one
callback per request kind (the login's, the floor request's, ...) and calls it later on its
network thread; a callback object that Python collected meanwhile would crash the process.
So each kind has one trampoline made once, here, for the life of the process: the library
only ever holds those, and each forwards to the Python callable installed last for its kind.
"""

import ctypes
import ctypes.util
import os
import sys
import threading

NotifyCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p)
ResultCallback = ctypes.CFUNCTYPE(None, ctypes.c_int)
ResultTextCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p)
RecordFinishCallback = ctypes.CFUNCTYPE(None, ctypes.c_uint, ctypes.c_char_p)


def _library_path():
    """$TALKHUB_LIBRARY, else the system's library by its name."""
    given = os.environ.get("TALKHUB_LIBRARY")
    if given:
        return given
    if sys.platform == "win32":
        return "TalkHub.dll"
    return ctypes.util.find_library("TalkHub") or "libTalkHub.so.1"


lib = ctypes.CDLL(_library_path())

_c_text = ctypes.c_char_p
_uint = ctypes.c_uint
_int = ctypes.c_int
_bool = ctypes.c_bool

# name: (result type, argument types), in the header's order.
_SIGNATURES = {
    "initialize": (None, []),
    "unInitialize": (None, []),
    "setServerInfo": (None, [_c_text, _uint]),
    "setNotifyCallback": (None, [NotifyCallback]),
    "login": (_int, [_c_text, _c_text, ResultTextCallback]),
    "loginout": (None, []),
    "enterGroup": (None, [_uint, ResultTextCallback]),
    "setGroupOption": (None, [_uint, _uint, ResultCallback]),
    "requestMic": (None, [ResultCallback]),
    "releaseMic": (None, []),
    "tempCall": (None, [_uint, ResultCallback]),
    "handupTempCall": (None, []),
    "meetingCall": (None, [_bool, _c_text, ResultTextCallback]),
    "handupMeetingCall": (None, [_uint]),
    "highQuality": (_bool, []),
    "setHighQuality": (None, [_bool]),
    "volume": (_int, []),
    "setVolume": (None, [_int]),
    "micVolume": (_int, []),
    "setMicVolume": (None, [_int]),
    "mute": (_bool, []),
    "setMute": (None, [_bool]),
    "defaultAllPlay": (_bool, []),
    "setDefaultAllPlay": (None, [_bool]),
    "openCanPlayGroup": (None, [_uint]),
    "testGroupCanPlay": (_bool, [_uint]),
    "closeCanPlayGroup": (None, [_uint]),
    "setRecordSavePath": (None, [_c_text]),
    "openGroupRecord": (None, [_uint]),
    "testGroupRecord": (_bool, [_uint]),
    "closeGroupRecord": (None, [_uint]),
    "setAudioRecordFinishCallback": (None, [RecordFinishCallback]),
    "mediaTranscoding": (None, [_c_text, _c_text, _bool]),
    "checkMediaTranscodingFinish": (_bool, [_c_text]),
    "isEnableAudioDetection": (_bool, []),
    "enableAudioDetection": (None, [_bool]),
    "isPauseAudioDetection": (_bool, []),
    "setPauseAudioDetection": (None, [_bool]),
    "audioActivateThreshold": (_int, []),
    "setAudioActivateThreshold": (None, [_int]),
    "muteDurationMs": (ctypes.c_longlong, []),
    "setMuteDurationMs": (None, [ctypes.c_longlong]),
}

for _name, (_result, _arguments) in _SIGNATURES.items():
    _function = getattr(lib, _name)
    _function.restype = _result
    _function.argtypes = _arguments


def encode(text):
    """UTF-8 bytes for the library; None stays None (the library refuses it with a log line)."""
    return None if text is None else text.encode("utf-8")


def decode(raw):
    """The library's UTF-8 text; None when it passed a null pointer."""
    return None if raw is None else raw.decode("utf-8", errors="replace")


class _Slot:
    """The Python callable that one trampoline forwards to."""

    def __init__(self):
        self._lock = threading.Lock()
        self._target = None

    def set(self, target):
        with self._lock:
            self._target = target

    def call(self, *arguments):
        with self._lock:
            target = self._target
        if target is not None:
            try:
                target(*arguments)
            except Exception:  # an exception must not unwind into the library's thread
                sys.excepthook(*sys.exc_info())


# One slot and one trampoline per callback the library keeps, alive as long as the module.
slots = {name: _Slot() for name in (
    "notify", "login", "enterGroup", "setGroupOption", "requestMic", "tempCall", "meetingCall", "recordFinish")}

trampolines = {
    "notify": NotifyCallback(lambda code, text: slots["notify"].call(code, decode(text))),
    "login": ResultTextCallback(lambda result, text: slots["login"].call(result, decode(text))),
    "enterGroup": ResultTextCallback(lambda result, text: slots["enterGroup"].call(result, decode(text))),
    "setGroupOption": ResultCallback(lambda result: slots["setGroupOption"].call(result)),
    "requestMic": ResultCallback(lambda result: slots["requestMic"].call(result)),
    "tempCall": ResultCallback(lambda result: slots["tempCall"].call(result)),
    "meetingCall": ResultTextCallback(lambda result, text: slots["meetingCall"].call(result, decode(text))),
    "recordFinish": RecordFinishCallback(lambda user, text: slots["recordFinish"].call(user, decode(text))),
}
