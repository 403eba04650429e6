/*
 * TalkHub: push-to-talk voice intercom for a host application.
 *
 * One process-wide service: initialize() starts it, unInitialize() ends it. Every other
 * function forwards to that service; before initialize() and after unInitialize() they do
 * nothing and return 0, false or (login) -1. mediaTranscoding and
 * checkMediaTranscodingFinish work in every state.
 *
 * Threads: every function may be called from any host thread, except that unInitialize
 * must not run while another call is running, and initialize is called once. Notification,
 * result and login callbacks arrive on the library's network thread; record notices on
 * its media threads. A text handed to a callback lives only for the call.
 *
 * Results: 0 or more is success, below 0 failure. Requests that the server answers
 * (login, enterGroup, requestMic, ...) report through their callback; a request refused
 * locally (not logged in, floor busy) is only logged and its callback is never called.
 */
#ifndef TALKHUB_H
#define TALKHUB_H

#if defined(TALKHUB_BUILDING)
#define TALKHUB_API __attribute__((visibility("default")))
#else
#define TALKHUB_API
#endif

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

/* Host notifications: 0 "network exception." (connection lost), 2 floor lost or released,
 * 3 "group:user:name" a member took the floor, 4 "group:user" a member left it,
 * 5 "id:name" a temporary call arrived, 6 the temporary call ended, 7 "meetingId" a
 * meeting call ended, 8 floor granted (voice-activated mode). text may be null. */
typedef void (*NotifyCallback)(int code, const char* text);
typedef void (*ResultCallback)(int result);
typedef void (*ResultTextCallback)(int result, const char* text);
/* A recording finished, its file complete and closed: the speaker's user id and
 * "group id:group name,user id:user name,duration ms,path". Called on the library's play
 * thread, which it must not wait for: no loginout or unInitialize from inside it. */
typedef void (*RecordFinishCallback)(unsigned int userId, const char* text);

/* ---- Service --------------------------------------------------------------------------- */

/* Opens the log in <library folder>/log/TalkHub, starts the protocol library, creates the
 * service and starts the network thread. */
TALKHUB_API void initialize(void);
/* Logs out, destroys the service and stops the network thread. */
TALKHUB_API void unInitialize(void);

/* ---- Signalling ------------------------------------------------------------------------ */

/* Signalling server for the next login (default port 13001). */
TALKHUB_API void setServerInfo(const char* address, unsigned int port);
/* Receives the notifications listed above; null switches them off. */
TALKHUB_API void setNotifyCallback(NotifyCallback callback);
/* Connects and logs in. Returns -1 when not idle or on a null argument, a negative value
 * when the connection cannot be started, else 0. The callback gets (0, "id:name") of the
 * group entered at login, or a failure: (negative, "connect audio server fail."),
 * (-code, "") when the server refuses the login with its code (the reference server: -1
 * unknown account, -2 wrong password, -3 server full), (0xC0000000 | code, "") as an int
 * when the microphone does not open (0xC0000002: no capture device), -1 when no voice
 * network can be set up, (0, "0") when the group list cannot be read. After an accepted
 * login the microphone stays open until logout; it is sent only while the floor is held
 * (or, voice-activated, while speech is heard). */
TALKHUB_API int login(const char* account, const char* password, ResultTextCallback callback);
/* Logs out, stops the voice network and closes the audio devices. */
TALKHUB_API void loginout(void);

/* Calls one user; the callback gets the server's result (0 accepted). */
TALKHUB_API void tempCall(unsigned int userId, ResultCallback callback);
/* Ends the temporary call and releases the floor. */
TALKHUB_API void handupTempCall(void);
/* Calls the users of the comma-separated id list; the callback gets (0,
 * "meetingId@id:name;id:name") or (failure, ""). */
TALKHUB_API void meetingCall(bool flag, const char* userList, ResultTextCallback callback);
TALKHUB_API void handupMeetingCall(unsigned int id);
/* Enters a group; the callback gets (result, "id:name"). */
TALKHUB_API void enterGroup(unsigned int groupId, ResultTextCallback callback);
/* Sends two option values to the server unchanged; the callback gets its result. */
TALKHUB_API void setGroupOption(unsigned int first, unsigned int second, ResultCallback callback);
/* Asks for the floor in the current group; the callback gets the result (0 granted). */
TALKHUB_API void requestMic(ResultCallback callback);
/* Releases the floor. */
TALKHUB_API void releaseMic(void);

/* ---- Media ----------------------------------------------------------------------------- */

/* Higher-rate voice encoding for what is sent from now on. */
TALKHUB_API bool highQuality(void);
TALKHUB_API void setHighQuality(bool on);
/* Playback volume 0..100; 5 is unity gain, above it amplifies (up to 20x at 100). */
TALKHUB_API int volume(void);
TALKHUB_API void setVolume(int value);
/* Microphone volume; 100 is unity gain. */
TALKHUB_API int micVolume(void);
TALKHUB_API void setMicVolume(int value);
/* While set, arriving voice is dropped. */
TALKHUB_API bool mute(void);
TALKHUB_API void setMute(bool on);
/* While set (the default) every group is heard; else only the groups opened below. */
TALKHUB_API bool defaultAllPlay(void);
TALKHUB_API void setDefaultAllPlay(bool on);
TALKHUB_API void openCanPlayGroup(unsigned int groupId);
TALKHUB_API bool testGroupCanPlay(unsigned int groupId);
/* Group 0 closes every group. */
TALKHUB_API void closeCanPlayGroup(unsigned int groupId);

/* ---- Recording ------------------------------------------------------------------------- */

/* Folder for MP3 recordings, created when missing; empty switches recording off. */
TALKHUB_API void setRecordSavePath(const char* path);
TALKHUB_API void openGroupRecord(unsigned int groupId);
TALKHUB_API bool testGroupRecord(unsigned int groupId);
/* Group 0 closes every group. */
TALKHUB_API void closeGroupRecord(unsigned int groupId);
TALKHUB_API void setAudioRecordFinishCallback(RecordFinishCallback callback);

/* ---- Transcoding (no initialize needed) ------------------------------------------------ */

/* Queues the conversion of a media file with ffmpeg (beside the library), run as
 * "ffmpeg -i source target" one job at a time in the order given. With deleteSource the
 * source is deleted after a conversion that succeeded; a failed one keeps it. Paths are
 * UTF-8; null paths are refused with a log line. When the queue is empty but a conversion
 * still runs, the call waits for it to end. */
TALKHUB_API void mediaTranscoding(const char* sourcePath, const char* targetPath, bool deleteSource);
/* True when no queued or running job has this source (compared ignoring case); a source
 * never queued reads as finished. */
TALKHUB_API bool checkMediaTranscodingFinish(const char* sourcePath);

/* ---- Voice-activated microphone -------------------------------------------------------- */

/* While enabled, speech takes the floor and silence releases it. */
TALKHUB_API bool isEnableAudioDetection(void);
TALKHUB_API void enableAudioDetection(bool on);
/* While paused every frame counts as silence. */
TALKHUB_API bool isPauseAudioDetection(void);
TALKHUB_API void setPauseAudioDetection(bool pause);
/* Strictness 0..9 (10 or more: nothing counts as speech); read back as stored, value + 90.
 * Takes effect at the next enableAudioDetection(true). */
TALKHUB_API int audioActivateThreshold(void);
TALKHUB_API void setAudioActivateThreshold(int value);
/* Silence that ends a turn, in milliseconds (default 1500). */
TALKHUB_API long long muteDurationMs(void);
TALKHUB_API void setMuteDurationMs(long long ms);

#ifdef __cplusplus
}
#endif

#endif
