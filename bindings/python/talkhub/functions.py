"""The library's functions, one for one, with text as str (UTF-8 on the wire) and Python
callables as callbacks. A callback runs on the library's network thread (a record notice on
its play thread); it may call loginout, and must not block for long."""

from ._library import encode, lib, slots, trampolines


def _install(kind, callback):
    """Forwards the library's callback of this kind to `callback` from now on."""
    slots[kind].set(callback)
    # A null function pointer of the same type when there is none.
    return trampolines[kind] if callback is not None else type(trampolines[kind])()


def initialize():
    lib.initialize()


def uninitialize():
    lib.unInitialize()


def set_server_info(address, port):
    lib.setServerInfo(encode(address), port)


def set_notify_callback(callback):
    """callback(code, text): one of the NOTIFY_* codes; text may be None. None stops them."""
    lib.setNotifyCallback(_install("notify", callback))


def login(account, password, callback):
    """callback(result, text) once, as the header describes; returns OK or a negative value."""
    return lib.login(encode(account), encode(password), _install("login", callback))


def loginout():
    lib.loginout()


def enter_group(group_id, callback=None):
    lib.enterGroup(group_id, _install("enterGroup", callback))


def set_group_option(first, second, callback=None):
    lib.setGroupOption(first, second, _install("setGroupOption", callback))


def request_mic(callback=None):
    lib.requestMic(_install("requestMic", callback))


def release_mic():
    lib.releaseMic()


def temp_call(user_id, callback=None):
    lib.tempCall(user_id, _install("tempCall", callback))


def hang_up_temp_call():
    lib.handupTempCall()


def meeting_call(flag, user_ids, callback=None):
    """user_ids: a comma-separated text ("1002,1003") or a list of ids."""
    text = user_ids if isinstance(user_ids, str) else ",".join(str(user) for user in user_ids)
    lib.meetingCall(flag, encode(text), _install("meetingCall", callback))


def hang_up_meeting_call(meeting_id):
    lib.handupMeetingCall(meeting_id)


def set_audio_record_finish_callback(callback):
    """callback(user_id, text): "group id:group name,user id:user name,duration ms,path"."""
    lib.setAudioRecordFinishCallback(_install("recordFinish", callback))


def set_record_save_path(path):
    lib.setRecordSavePath(encode(path))


def media_transcoding(source, target, delete_source):
    lib.mediaTranscoding(encode(source), encode(target), delete_source)


def check_media_transcoding_finish(source):
    return lib.checkMediaTranscodingFinish(encode(source))


# Settings read and written as they are.
high_quality = lib.highQuality
set_high_quality = lib.setHighQuality
volume = lib.volume
set_volume = lib.setVolume
mic_volume = lib.micVolume
set_mic_volume = lib.setMicVolume
mute = lib.mute
set_mute = lib.setMute
default_all_play = lib.defaultAllPlay
set_default_all_play = lib.setDefaultAllPlay
open_can_play_group = lib.openCanPlayGroup
test_group_can_play = lib.testGroupCanPlay
close_can_play_group = lib.closeCanPlayGroup
open_group_record = lib.openGroupRecord
test_group_record = lib.testGroupRecord
close_group_record = lib.closeGroupRecord
is_enable_audio_detection = lib.isEnableAudioDetection
enable_audio_detection = lib.enableAudioDetection
is_pause_audio_detection = lib.isPauseAudioDetection
set_pause_audio_detection = lib.setPauseAudioDetection
audio_activate_threshold = lib.audioActivateThreshold
set_audio_activate_threshold = lib.setAudioActivateThreshold
mute_duration_ms = lib.muteDurationMs
set_mute_duration_ms = lib.setMuteDurationMs
