"""TalkHub from Python: the push-to-talk client library through ctypes.

`talkhub.Session` is the simple way in; `talkhub.functions` holds the library's functions
one for one; the constants of talkhub.h are here without their TALKHUB_ prefix. The
library is found through $TALKHUB_LIBRARY, else as the system's libTalkHub.so.1 (TalkHub.dll
on Windows, beside the program or on its PATH)."""

from ._constants import *  # noqa: F401,F403
from . import functions  # noqa: F401
from .session import Event, LoginRefused, Session, TalkHubError  # noqa: F401

__version__ = VERSION_TEXT  # noqa: F405
