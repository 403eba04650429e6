/*
 * TalkHub: push-to-talk voice intercom for a host application.
 *
 * A host loads libTalkHub (TalkHub.dll on Windows), starts the service, logs in to a
 * signalling server and from then on hears the talk groups it chose and talks when it holds
 * the floor:
 *
 *     initialize();
 *     setNotifyCallback(onNotify);
 *     setServerInfo("127.0.0.1", TALKHUB_DEFAULT_PORT);
 *     login("alice", "alice", onLogin);   onLogin(TALKHUB_OK, "1:Dispatch")
 *     requestMic(onFloor);                onFloor(TALKHUB_OK): talk now
 *     releaseMic();
 *     loginout();
 *     unInitialize();
 *
 * examples/talkhub_example.c is a complete host in C99.
 *
 * STATE. One process-wide service: initialize() starts it, unInitialize() ends it. Before
 * initialize() and after unInitialize() every other function does nothing and returns 0,
 * false or (login) TALKHUB_FAILED; mediaTranscoding and checkMediaTranscodingFinish work in
 * every state. Requests to the server (enterGroup, requestMic, tempCall, ...) need a
 * completed login; a request the library refuses locally (not logged in, floor busy or
 * idle) is written to the log and its callback is never called.
 *
 * THREADS. Every function may be called from any host thread, with two exceptions:
 * initialize() is called once, and unInitialize() must not run while another call into the
 * library runs. Callbacks arrive on the library's own threads, never on a host thread:
 *   - NotifyCallback, ResultCallback, ResultTextCallback: the network thread ("harbor-net").
 *     Callbacks of this kind never overlap one another.
 *   - RecordFinishCallback: the play thread ("talkhub-play").
 *
 * RE-ENTRANCY. A network-thread callback may call any function of the library except
 * unInitialize() (which stops the network thread and so cannot run on it); loginout() from
 * the login callback is allowed. The record callback may call any function except
 * unInitialize(), which it refuses (it waits for the play thread); loginout() from it ends
 * playback after the callback returns. Callbacks that unInitialize() or loginout() still
 * deliver (recordings ending) find the library uninitialised or logged out, as it will be
 * once the call returns. Whatever a callback does
 * holds up the thread it runs on: for the network thread that is all signalling, for the
 * play thread all playback. A host that only records the event and returns, as the
 * example does, never has to think about it.
 *
 * TEXTS. Every text is UTF-8 and NUL-terminated. A text handed to a callback lives only for
 * that call (copy it to keep it); it may be null where noted. The formats are given below
 * with each callback; numbers are decimal; "id:name" is a group or user id, a colon and a
 * display name (names are not escaped and may contain ':' or ','; split at the first ':'
 * after the fixed fields).
 *
 * RESULTS. 0 (TALKHUB_OK) is success, a negative value a failure. Results a server
 * chooses (a refused floor, a refused call) are passed on unchanged; the values the
 * reference server talkhub-server uses are named below.
 */
#ifndef TALKHUB_H
#define TALKHUB_H

/* Windows: exported from TalkHub.dll, imported by hosts (x64 has one calling convention).
 * Elsewhere: the only symbols libTalkHub shows. */
#if defined(_WIN32)
#if defined(TALKHUB_BUILDING)
#define TALKHUB_API __declspec(dllexport)
#else
#define TALKHUB_API __declspec(dllimport)
#endif
#elif defined(TALKHUB_BUILDING)
#define TALKHUB_API __attribute__((visibility("default")))
#else
#define TALKHUB_API
#endif

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

/* ---- Constants ------------------------------------------------------------------------ */

/* The version of this header and of the library built with it. A host that loads another
 * build of the library at run time learns its version from nothing but the file's name. */
#define TALKHUB_VERSION_MAJOR 1
#define TALKHUB_VERSION_MINOR 1
#define TALKHUB_VERSION_PATCH 0
#define TALKHUB_VERSION_TEXT "1.1.0"

#define TALKHUB_OK 0
#define TALKHUB_FAILED (-1)
#define TALKHUB_DEFAULT_PORT 13001
/* closeCanPlayGroup and closeGroupRecord with this id close every group. */
#define TALKHUB_ALL_GROUPS 0u

/* Notification codes, the first argument of NotifyCallback, with the text that comes with
 * each. Code 1 is never sent. */
/* "network exception.": the connection to the server failed while logged in; the library
 * has logged out. */
#define TALKHUB_NOTIFY_NETWORK_EXCEPTION 0
/* "" (empty): the server took the floor back (time limit); null: voice-activated mode gave
 * the floor back after silence. */
#define TALKHUB_NOTIFY_MIC_LOST 2
/* "group id:user id:user name", a member took the floor, e.g. "1:1002:Bob". */
#define TALKHUB_NOTIFY_MEMBER_GET_MIC 3
/* "group id:user id", a member left the floor. */
#define TALKHUB_NOTIFY_MEMBER_LOST_MIC 4
/* "caller id:caller name", a temporary call arrived; this user is now in the call. */
#define TALKHUB_NOTIFY_TEMP_CALL 5
/* "" (empty): this user's temporary call ended. */
#define TALKHUB_NOTIFY_TEMP_CALL_END 6
/* "meeting id", a meeting call ended. */
#define TALKHUB_NOTIFY_MEETING_END 7
/* null: voice-activated mode took the floor. */
#define TALKHUB_NOTIFY_VOICE_GET_MIC 8

/* Texts the library itself hands over. */
#define TALKHUB_TEXT_NETWORK_EXCEPTION "network exception."
#define TALKHUB_TEXT_CONNECT_FAILED "connect audio server fail."

/* Login refusals of the reference server, as the login callback's result. */
#define TALKHUB_LOGIN_UNKNOWN_ACCOUNT (-1)
#define TALKHUB_LOGIN_WRONG_PASSWORD (-2)
#define TALKHUB_LOGIN_SERVER_FULL (-3)
#define TALKHUB_LOGIN_MALFORMED (-4)
/* Too many failed logins from this address: refused for a while (from 1 s, doubling). */
#define TALKHUB_LOGIN_TRY_LATER (-5)
/* Sent by servers of the previous protocol version only (a login proof out of its time
 * window); kept so that hosts naming it still build. */
#define TALKHUB_LOGIN_STALE (-6)
/* The server speaks a newer protocol than this library: the library must be updated. */
#define TALKHUB_LOGIN_OLD_PROTOCOL (-7)
/* Login failures the library itself reports. The account is in no group: the session stays
 * logged in (calls can reach it) until loginout. The servers sent the login on to another
 * server more than 4 times in a row: the login ends. */
#define TALKHUB_LOGIN_NO_GROUP (-1000)
#define TALKHUB_LOGIN_TOO_MANY_REDIRECTS (-1001)
/* The login's key exchange could not be started (its key derivation needs 19 MiB): the
 * login ends. */
#define TALKHUB_LOGIN_NO_PROOF (-1002)
/* The server did not prove that it holds the account (it may be an impostor on the way to
 * the real one): nothing was sent to it but the login, and the login ends. A wrong password
 * is told apart: a genuine server answers it with TALKHUB_LOGIN_WRONG_PASSWORD. */
#define TALKHUB_LOGIN_SERVER_NOT_PROVEN (-1003)
/* The server could not be reached: it refused the connection, no route led to it, or it
 * did not answer within the connect time (with TALKHUB_TEXT_CONNECT_FAILED). */
#define TALKHUB_LOGIN_SERVER_UNREACHABLE (-1004)
/* The server's host name did not resolve to an address (with TALKHUB_TEXT_CONNECT_FAILED). */
#define TALKHUB_LOGIN_HOST_NOT_FOUND (-1005)
/* The speaker did not open (the log gives the sound library's reason). */
#define TALKHUB_LOGIN_SPEAKER_FAILED (-1006)
/* No voice socket could be made: no local port, or the voice server's address is a host
 * name rather than an IPv4 or IPv6 address. */
#define TALKHUB_LOGIN_NO_VOICE_SOCKET (-1007)
/* A login whose microphone did not open reports 0xC0000000 | the system's code, read as
 * an int; this one means there is no capture device at all. */
#define TALKHUB_LOGIN_NO_CAPTURE_DEVICE ((int)0xC0000002u)
#define TALKHUB_LOGIN_CAPTURE_FAILED(result) ((0xFFFF0000u & (unsigned int)(result)) == 0xC0000000u)

/* Refusals of the reference server for requestMic, and for tempCall and meetingCall. */
#define TALKHUB_FLOOR_BUSY 1
#define TALKHUB_FLOOR_NOT_A_MEMBER 2
#define TALKHUB_CALL_USER_UNAVAILABLE 1 /* unknown, offline, or the caller itself */
#define TALKHUB_CALL_ALREADY_IN_CALL 2
#define TALKHUB_CALL_MALFORMED 3

/* Volumes: playback 0..100 with unity at 5, microphone with unity at 100. */
#define TALKHUB_VOLUME_UNITY 5
#define TALKHUB_VOLUME_MAX 100
#define TALKHUB_MIC_VOLUME_UNITY 100

/* ---- Callbacks ------------------------------------------------------------------------ */

/* A notification: one of the TALKHUB_NOTIFY_* codes and its text (may be null). */
typedef void (*NotifyCallback)(int code, const char* text);
/* The answer to a request: TALKHUB_OK, the server's refusal (positive) or a negative
 * value when the answer could not be read. */
typedef void (*ResultCallback)(int result);
/* The answer to a request, with a text whose format the request names. */
typedef void (*ResultTextCallback)(int result, const char* text);
/* A recording is complete, its file flushed and closed: the speaker's user id and
 * "group id:group name,user id:user name,duration ms,path", for example
 * "1:Dispatch,1003:Carol,1520,/var/rec/1003_20261207164812.mp3". */
typedef void (*RecordFinishCallback)(unsigned int userId, const char* text);

/* ---- Service --------------------------------------------------------------------------- */

/* Opens the log in <library folder>/log/TalkHub (daily files, the newest 30 kept); where
 * that folder cannot be written, in <state folder>/log/TalkHub, the state folder being
 * $XDG_STATE_HOME/talkhub, else ~/.local/state/talkhub (%LOCALAPPDATA%\TalkHub on
 * Windows), and says so in one line on standard error. Then starts the protocol library,
 * creates the service and starts the network thread. Call it once. */
TALKHUB_API void initialize(void);
/* Logs out if logged in, destroys the service and stops the network thread; waits for
 * callbacks that are running. Afterwards every function is inert again. */
TALKHUB_API void unInitialize(void);

/* ---- Signalling ------------------------------------------------------------------------ */

/* The signalling server for the next login: an IPv4 or IPv6 address or a host name, and
 * its TCP port (TALKHUB_DEFAULT_PORT when never set). */
TALKHUB_API void setServerInfo(const char* address, unsigned int port);
/* Receives the TALKHUB_NOTIFY_* notifications from now on, on the network thread; null
 * switches them off. */
TALKHUB_API void setNotifyCallback(NotifyCallback callback);
/* Connects and logs in; the outcome arrives through the callback, once, on the network
 * thread (loginout may be called from it).
 * Returns TALKHUB_OK when the connection is under way, TALKHUB_FAILED when a login or
 * session is already running or an argument is null, another negative value when the
 * connection cannot be started.
 * The callback gets, on success, (TALKHUB_OK, "group id:group name") of the group entered
 * at login; on failure one of: (TALKHUB_LOGIN_SERVER_UNREACHABLE or
 * TALKHUB_LOGIN_HOST_NOT_FOUND, TALKHUB_TEXT_CONNECT_FAILED) the server could not be
 * reached; (TALKHUB_LOGIN_*, "") the server refused the account; a result for which
 * TALKHUB_LOGIN_CAPTURE_FAILED holds, with "", the microphone did not open;
 * (TALKHUB_LOGIN_SPEAKER_FAILED, "") the speaker did not open;
 * (TALKHUB_LOGIN_NO_VOICE_SOCKET, "") no voice socket could be made; (0, "0") the group
 * list could not be read; (TALKHUB_LOGIN_NO_GROUP, "") it lists no group;
 * (TALKHUB_LOGIN_TOO_MANY_REDIRECTS, "") the servers kept redirecting. Every result the
 * library itself reports lies below -999, apart from the microphone's: none can be read
 * as a server's refusal.
 * After an accepted login the microphone stays open until logout and is sent only while
 * the floor is held (voice-activated: while speech is heard); every audible group plays. */
TALKHUB_API int login(const char* account, const char* password, ResultTextCallback callback);
/* Logs out, stops the voice network and closes the audio devices. Recordings in progress
 * end and are reported. Nothing is notified. */
TALKHUB_API void loginout(void);

/* Enters a group (0 leaves the current one); refused locally while the floor is held or
 * requested. The callback (network thread) gets (TALKHUB_OK or the server's refusal, "group id:group name"),
 * or (negative, "") when the answer could not be read. */
TALKHUB_API void enterGroup(unsigned int groupId, ResultTextCallback callback);
/* Sends two option values of the current group to the server unchanged; the callback
 * (network thread) gets the server's result. */
TALKHUB_API void setGroupOption(unsigned int first, unsigned int second, ResultCallback callback);
/* Asks for the floor in the current group (or the current call). The callback (network
 * thread) gets TALKHUB_OK when granted (talk now) or the refusal (TALKHUB_FLOOR_*). Refused locally
 * while a request is pending or the floor is held. In voice-activated mode it only
 * resumes the detector: nothing is sent, the callback is never called, and the floor
 * comes and goes with TALKHUB_NOTIFY_VOICE_GET_MIC and TALKHUB_NOTIFY_MIC_LOST. */
TALKHUB_API void requestMic(ResultCallback callback);
/* Gives the floor back (also while the request is still unanswered). In voice-activated
 * mode it holds the detector at silence instead. */
TALKHUB_API void releaseMic(void);

/* Calls one user into a temporary call of two; the callback (network thread) gets
 * TALKHUB_OK or the refusal (TALKHUB_CALL_*). While in the call, requestMic takes the call's floor. The
 * called user gets TALKHUB_NOTIFY_TEMP_CALL. Refused locally while the floor is held. */
TALKHUB_API void tempCall(unsigned int userId, ResultCallback callback);
/* Ends the temporary call and gives the floor back; both sides get
 * TALKHUB_NOTIFY_TEMP_CALL_END. */
TALKHUB_API void handupTempCall(void);
/* Calls the users of a comma-separated id list ("1002,1003") into a meeting; flag is sent
 * to the server as 1 or 0. The callback (network thread) gets (TALKHUB_OK,
 * "meeting id@user id:name;user id:name") for example "12@1002:Bob;1003:Carol", or
 * (refusal, ""). An empty list does nothing. */
TALKHUB_API void meetingCall(bool flag, const char* userList, ResultTextCallback callback);
/* Ends a meeting by the id its answer named; members get TALKHUB_NOTIFY_MEETING_END. */
TALKHUB_API void handupMeetingCall(unsigned int id);

/* ---- Playback and microphone ---------------------------------------------------------- */

/* Voice encoding at 24 instead of 12 kbit/s for what is sent from now on (default off). */
TALKHUB_API bool highQuality(void);
TALKHUB_API void setHighQuality(bool on);
/* Playback volume 0..TALKHUB_VOLUME_MAX; TALKHUB_VOLUME_UNITY (the default) is unity
 * gain, 0 silence, above 5 amplifies with clipping (10 doubles). */
TALKHUB_API int volume(void);
TALKHUB_API void setVolume(int value);
/* Microphone volume; TALKHUB_MIC_VOLUME_UNITY (the default) is unity gain, with clipping
 * above it. */
TALKHUB_API int micVolume(void);
TALKHUB_API void setMicVolume(int value);
/* While set, arriving voice is dropped (default off). */
TALKHUB_API bool mute(void);
TALKHUB_API void setMute(bool on);
/* While set (the default) every group is heard; else only the groups opened below. */
TALKHUB_API bool defaultAllPlay(void);
TALKHUB_API void setDefaultAllPlay(bool on);
/* Chooses a group to hear while defaultAllPlay is off; group 0 is never heard. */
TALKHUB_API void openCanPlayGroup(unsigned int groupId);
TALKHUB_API bool testGroupCanPlay(unsigned int groupId);
/* TALKHUB_ALL_GROUPS closes every group. */
TALKHUB_API void closeCanPlayGroup(unsigned int groupId);

/* ---- Recording ------------------------------------------------------------------------- */

/* Folder for recordings, created when missing; null or empty switches recording off.
 * Each turn heard in a group chosen below becomes one MP3 there, named
 * "<user id>_<YYYYMMDDhhmmss>.mp3" by local time ("_1", "_2", ... when a turn of the same
 * speaker began in the same second): the voice as received, before the playback volume. */
TALKHUB_API void setRecordSavePath(const char* path);
/* Chooses a group to record; only groups that are also heard are recorded. */
TALKHUB_API void openGroupRecord(unsigned int groupId);
TALKHUB_API bool testGroupRecord(unsigned int groupId);
/* TALKHUB_ALL_GROUPS closes every group. */
TALKHUB_API void closeGroupRecord(unsigned int groupId);
/* Called once per recording after its file is complete (see RecordFinishCallback), on the
 * play thread; a recording that could not start or could not be written (the partial
 * file is removed) is not reported. Recordings in progress end, and are reported, at
 * loginout and unInitialize. Null switches the notice off. */
TALKHUB_API void setAudioRecordFinishCallback(RecordFinishCallback callback);

/* ---- Transcoding (no initialize needed) ------------------------------------------------ */

/* Queues the conversion of a media file, run as "ffmpeg -i source target": on Windows
 * with "ffmpeg.exe" in the DLL's folder only; on Linux with an ffmpeg in the library's
 * folder, else the first on the PATH (absolute folders only). One job at a time in the
 * order given, on a worker thread of its own; the target's format follows its extension.
 * With deleteSource the source is deleted after a conversion that ended with status 0; a
 * failed one keeps it and logs the status. Paths are UTF-8; a null path is refused with a
 * log line. Returns at once, except when the queue is empty but the previous conversion
 * still runs: then it waits for that one to end. */
TALKHUB_API void mediaTranscoding(const char* sourcePath, const char* targetPath, bool deleteSource);
/* False while a job with this source (compared ignoring case over the whole UTF-8 text) is
 * queued or running; true otherwise, also for a source never queued. */
TALKHUB_API bool checkMediaTranscodingFinish(const char* sourcePath);

/* ---- Voice-activated microphone -------------------------------------------------------- */

/* While enabled (default off), speech takes the floor (TALKHUB_NOTIFY_VOICE_GET_MIC) and
 * silence of muteDurationMs gives it back (TALKHUB_NOTIFY_MIC_LOST with a null text).
 * Disabled while speech holds the floor, the floor goes back at once. */
TALKHUB_API bool isEnableAudioDetection(void);
TALKHUB_API void enableAudioDetection(bool on);
/* While paused every frame counts as silence; the library pauses the detector while
 * another member holds the floor. */
TALKHUB_API bool isPauseAudioDetection(void);
TALKHUB_API void setPauseAudioDetection(bool pause);
/* Strictness 0 (sensitive) to 9 (strict), 10 or more: nothing counts as speech. Read back
 * as stored, value + 90. Takes effect at the next enableAudioDetection(true). */
TALKHUB_API int audioActivateThreshold(void);
TALKHUB_API void setAudioActivateThreshold(int value);
/* Silence in milliseconds that gives the floor back (default 1500). */
TALKHUB_API long long muteDurationMs(void);
TALKHUB_API void setMuteDurationMs(long long ms);

#ifdef __cplusplus
}
#endif

#endif
