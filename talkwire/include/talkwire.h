/*
 * talkwire: the signalling and voice-packet protocol of TalkHub.
 *
 * Client side: message builders (cp_*), answer and event parsers (on_*), HDLC framing,
 * the voice codec and the voice datagrams (ptt_*). Server side: answer and event builders
 * and request parsers (srv_*), so that a server or a test peer needs nothing else.
 * Every byte on the wire is described in talkwire/PROTOCOL.md.
 *
 * Conventions: builders write one message into (buf, cap) and return its length, or a
 * negative TW_ERR_* code when nothing was written (never more than cap bytes). Parsers
 * take (record, body, body length), zero-fill and fill the record, and return 0 or a
 * negative TW_ERR_* code; they never read past the body. Texts in records are always
 * NUL-terminated inside their fixed size. All functions are safe to call from any thread.
 */
#ifndef TALKWIRE_H
#define TALKWIRE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(TALKWIRE_BUILDING)
#define TALKWIRE_API __declspec(dllexport)
#else
#define TALKWIRE_API __declspec(dllimport)
#endif
#elif defined(TALKWIRE_BUILDING)
#define TALKWIRE_API __attribute__((visibility("default")))
#else
#define TALKWIRE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define TW_OK 0
#define TW_ERR_ARGUMENT (-1)  /* null pointer or impossible argument */
#define TW_ERR_TRUNCATED (-2) /* the body ends before a field does */
#define TW_ERR_RANGE (-3)     /* a count or text length beyond its documented maximum */
#define TW_ERR_TRAILING (-4)  /* bytes left over after the last field */
#define TW_ERR_SPACE (-5)     /* the output buffer is too small */
#define TW_ERR_MEMORY (-6)    /* allocation failed */
#define TW_ERR_CODEC (-7)     /* the voice codec failed */
#define TW_ERR_FORMAT (-8)    /* wrong magic, version, command or kind */
#define TW_ERR_CRYPTO (-9)    /* the cryptography library could not start */
/* A login answer that accepts the login but does not prove that the server holds the
 * account's record: the password is wrong, or the server is not the account's. */
#define TW_ERR_UNPROVEN (-10)
/* A sealed message or datagram did not open (altered, injected, replayed or out of order);
 * for the control stream this ends the connection. */
#define TW_ERR_SEALED (-11)

/* The control messages' protocol version (every message's second byte). Version 2: the
 * login is a key exchange and everything after it is sealed. A server answers a login of
 * version 1 with srv_build_old_login_refusal. */
#define TW_PROTOCOL_VERSION 2
#define TW_OLD_PROTOCOL_VERSION 1

/* Sizes and limits. */
#define TW_VERSION_TEXT_SIZE 50
#define TW_ENCODED_PASSWORD_SIZE 1024
#define TW_LOGIN_KEY_SIZE 32
#define TW_LOGIN_SHARE_SIZE 65        /* the server's share of the login's key exchange */
#define TW_LOGIN_CONFIRMATION_SIZE 32 /* either side's proof of the exchange's key */
#define TW_MAX_ACCOUNT_LENGTH 63
#define TW_MAX_PASSWORD_LENGTH 255
#define TW_MAX_GROUPS 128
#define TW_MAX_MEETING_MEMBERS 64
#define TW_MAX_CALL_IDS 512
#define TW_GROUP_NAME_SIZE 64
#define TW_MEMBER_NAME_SIZE 64
#define TW_USER_NAME_SIZE 68
#define TW_MARKER_TEXT_SIZE 64
#define TW_FRAME_SAMPLES 160
#define TW_FRAME_BYTES 320
#define TW_MAX_FRAMES_PER_PACKET 5
#define TW_AUDIO_PAYLOAD_SIZE 1023
#define TW_STREAM_HEADER_SIZE 6
#define TW_DATAGRAM_SIZE 1024

/* Command ids: requests (client to server). */
#define TW_CMD_LOGIN 0x01
#define TW_CMD_LOGOUT 0x02
#define TW_CMD_QUERY_GROUPS 0x03
#define TW_CMD_PING 0x04
#define TW_CMD_ACTIVATE_GROUP 0x05
#define TW_CMD_REQUEST_MIC 0x06
#define TW_CMD_RELEASE_MIC 0x07
#define TW_CMD_SET_GROUP_OPTION 0x08
#define TW_CMD_TEMP_GROUP_CALL 0x09
#define TW_CMD_MEETING_CALL 0x0a
#define TW_CMD_HANDUP_MEETING_CALL 0x0b
#define TW_CMD_LOGIN_CONFIRM 0x0c
/* Command ids: answers and events (server to client). */
#define TW_CMD_LOGIN_ACK 0x81
#define TW_CMD_QUERY_GROUP_ACK 0x82
#define TW_CMD_ENTER_GROUP_ACK 0x84
#define TW_CMD_QUIT_GROUP_ACK 0x85
#define TW_CMD_REQUEST_MIC_ACK 0x86
#define TW_CMD_RELEASE_MIC_ACK 0x87
#define TW_CMD_LOGOUT_ACK 0x88
#define TW_CMD_TEMP_CALL_ACK 0x89
#define TW_CMD_MEETING_CALL_ACK 0x8b
#define TW_CMD_SET_GROUP_OPTION_ACK 0x8d
#define TW_CMD_SELF_LOST_MIC 0xc2
#define TW_CMD_MEMBER_GET_MIC 0xc7
#define TW_CMD_MEMBER_LOST_MIC 0xc8
#define TW_CMD_SELF_QUIT_TEMP_CALL 0xca
#define TW_CMD_TEMP_CALL_ARRIVED 0xcb
#define TW_CMD_MEETING_CALL_RELEASE 0xcc

/* Datagram kinds. */
#define TW_KIND_VOICE 0
#define TW_KIND_END_OF_TALK 2
#define TW_KIND_HEARTBEAT 0x10
#define TW_KIND_TALK_START 0x11
#define TW_KIND_TALK_STOP 0x12
#define TW_KIND_INVALID 0xff /* set by ptt_process_rx_udp on a rejected datagram */

/* ---- Records ---------------------------------------------------------------------------- */

/* One decoded frame: pointers into the receive buffer handed to packet_decode. */
typedef struct tw_packet {
    const unsigned char* header; /* header[0] is the command id */
    uint32_t headerLength;
    const unsigned char* body;
    uint32_t bodyLength;
} tw_packet;

typedef struct tw_login_ack {
    uint8_t result; /* 0 accepted; otherwise the server's refusal code */
    char redirectAddress[16];
    char voiceAddress[32];
    uint32_t redirectPort;
    uint32_t voicePort;
    uint32_t heartbeatInterval;      /* milliseconds */
    uint32_t voiceHeartbeatInterval; /* milliseconds */
    uint32_t userId;
    char markerText[TW_MARKER_TEXT_SIZE]; /* 64 raw bytes, copied unchanged */
    uint32_t markerId;
    /* The server's part of the key exchange (PROTOCOL.md, "Login"): set by the server on
     * an accepting answer, checked by on_login_ack; zero on a refusal or a redirect. */
    unsigned char serverShare[TW_LOGIN_SHARE_SIZE];
    unsigned char serverConfirmation[TW_LOGIN_CONFIRMATION_SIZE];
} tw_login_ack;

typedef struct tw_group_entry {
    uint32_t groupId;
    char name[TW_GROUP_NAME_SIZE];
} tw_group_entry;

typedef struct tw_group_list {
    uint64_t count;
    tw_group_entry** entries;
} tw_group_list;

typedef struct tw_join_group_ack {
    int32_t result;
    uint32_t previousGroupId;
    uint32_t groupId;
    uint32_t markerId;
} tw_join_group_ack;

/* Answers that carry only a result: set group option, quit group, call, request mic. */
typedef struct tw_result_ack {
    int32_t result;
} tw_result_ack;

typedef struct tw_meeting_member {
    uint32_t userId;
    char name[TW_MEMBER_NAME_SIZE];
} tw_meeting_member; /* 68 bytes */

typedef struct tw_meeting_call_ack {
    int32_t result;
    uint32_t meetingId;
    uint64_t memberCount;
    tw_meeting_member* members;
} tw_meeting_call_ack;

typedef struct tw_member_get_mic {
    uint32_t groupId;
    uint32_t userId;
    char userName[TW_USER_NAME_SIZE];
} tw_member_get_mic;

typedef struct tw_member_lost_mic {
    uint32_t groupId;
    uint32_t userId;
} tw_member_lost_mic;

typedef struct tw_temp_call_release {
    uint32_t groupId;
} tw_temp_call_release;

typedef struct tw_temp_call_arrived {
    char callerName[TW_USER_NAME_SIZE];
    uint32_t callerId;
} tw_temp_call_arrived;

typedef struct tw_meeting_call_release {
    uint32_t reason;
    uint32_t meetingId;
} tw_meeting_call_release;

/* One parsed voice datagram; the offsets are fixed (1048 bytes in all). */
typedef struct _AUDIO_PACKET {
    uint16_t sequence;                      /* 0 */
    uint16_t version;                       /* 2: datagram format version */
    uint32_t senderId;                      /* 4 */
    uint32_t datagramLength;                /* 8 */
    uint32_t kind;                          /* 12: TW_KIND_* */
    uint32_t frameCount;                    /* 16 */
    uint8_t mode;                           /* 20 */
    uint8_t payload[TW_AUDIO_PAYLOAD_SIZE]; /* 21: stream header, then the frames */
    uint32_t payloadLength;                 /* 1044 */
} _AUDIO_PACKET;

/* Server side: requests as parsed. */
typedef struct tw_login_request {
    char account[TW_MAX_ACCOUNT_LENGTH + 1];
    char encodedPassword[256];
    uint32_t flags;
} tw_login_request;

/* The client's answer to an accepting login answer: its confirmation of the exchange, or
 * (confirmed 0) word that it could not confirm the server's. */
typedef struct tw_login_confirm {
    uint8_t confirmed;
    unsigned char confirmation[TW_LOGIN_CONFIRMATION_SIZE];
} tw_login_confirm;

typedef struct tw_id_request { /* ping (user id), activate group, request and release mic */
    uint32_t id;
} tw_id_request;

typedef struct tw_group_option_request {
    uint32_t first;
    uint32_t second;
} tw_group_option_request;

typedef struct tw_call_request { /* temp call, meeting call, hang-up of a meeting call */
    uint32_t flag;
    uint32_t count;
    uint32_t ids[TW_MAX_CALL_IDS];
} tw_call_request;

/* Server side: one datagram as seen by the voice server. */
typedef struct tw_datagram_info {
    uint32_t kind;
    uint32_t senderId;
    uint16_t sequence;
    uint32_t frameCount;
    uint32_t markerId;
    char markerText[TW_MARKER_TEXT_SIZE + 1];
} tw_datagram_info;

/* ---- Library ------------------------------------------------------------------------------ */

TALKWIRE_API int proto_init(void);
/* Writes the version text (at most TW_VERSION_TEXT_SIZE - 1 characters) into version. */
TALKWIRE_API int ptt_init(char* version);

/* Login (PROTOCOL.md, "Login"). Derives the account's login key from its password
 * (Argon2id, salted by the account; tens of milliseconds and 19 MiB on purpose) into key
 * (TW_LOGIN_KEY_SIZE bytes): TW_OK, TW_ERR_ARGUMENT (no account, account over 63 or password
 * over 255 bytes), TW_ERR_MEMORY or TW_ERR_CRYPTO. */
TALKWIRE_API int derive_login_key(const char* user, const char* password, unsigned char* key);
/* Starts this process's login: derives the login key and writes into out
 * (TW_ENCODED_PASSWORD_SIZE bytes) the client's share of the key exchange, the text a login
 * request carries as its password; returns its length. Whatever an earlier login left
 * (its exchange, its connection's keys) is wiped first.
 *
 * The process's connection. on_login_ack finishes the exchange; from then on
 * encode_tcp_packet_hdlc sends the client's confirmation ahead of the first message and
 * seals every message, packet_decode opens every one, and the datagram functions seal what
 * they build and open what they read. The keys are wiped when the logout's answer opens and
 * when the next login starts. */
TALKWIRE_API int encode_login_passwd(const char* user, const char* password, char* out);

/* ---- Client requests ---------------------------------------------------------------------- */

TALKWIRE_API int cp_login(unsigned char* buf, int cap, const char* user, const char* encodedPassword, uint32_t flags);
TALKWIRE_API int cp_logout(unsigned char* buf, int cap);
TALKWIRE_API int cp_query_groups(unsigned char* buf, int cap);
TALKWIRE_API int cp_ping(unsigned char* buf, int cap, uint32_t userId);
TALKWIRE_API int cp_activate_group(unsigned char* buf, int cap, uint32_t groupId);
TALKWIRE_API int cp_request_mic(unsigned char* buf, int cap, uint32_t groupId);
TALKWIRE_API int cp_release_mic(unsigned char* buf, int cap, uint32_t groupId);
TALKWIRE_API int cp_set_group_option(unsigned char* buf, int cap, uint32_t first, uint32_t second);
TALKWIRE_API int cp_temp_group_call(unsigned char* buf, int cap, const uint32_t* ids, int count);
TALKWIRE_API int cp_meeting_call(unsigned char* buf, int cap, int flag, const uint32_t* ids, int count);
TALKWIRE_API int cp_handup_meeting_call(unsigned char* buf, int cap, const uint32_t* ids, int count);
/* The client's confirmation of the login's exchange (TW_LOGIN_CONFIRMATION_SIZE bytes), or
 * with null the word that the server's could not be confirmed (on_login_ack returned
 * TW_ERR_UNPROVEN): an honest server then answers whether the password was wrong.
 * encode_tcp_packet_hdlc sends the confirmation itself; a client of its own may build it. */
TALKWIRE_API int cp_login_confirm(unsigned char* buf, int cap, const unsigned char* confirmation);

/* ---- Framing ------------------------------------------------------------------------------ */

/* Frames one message (sealed, after the process's login); returns the framed length, 0 when
 * it does not fit in cap or cannot be sealed. After the login the first call also frames
 * the client's confirmation, ahead of the message. */
TALKWIRE_API uint16_t encode_tcp_packet_hdlc(const void* message, uint16_t length, unsigned char* out, uint16_t cap);
/* Feeds one received byte. The receive buffer must be zero-filled before its first use; it
 * holds the unfinished frame and the decoder's state (its last 8 bytes) between calls.
 * *frame is set to the buffer for the byte that completes a valid frame, else to null. */
TALKWIRE_API void decode_tcp_packet_hdlc(unsigned char* buffer, uint32_t capacity, unsigned char byte,
                                         unsigned char** frame);
/* Checks a completed frame (size = its length field + 2), opens it in place after the
 * process's login, and points the record into it. Returns the message length (> 0) on
 * success; TW_ERR_SEALED when it did not open, after which the connection must end. */
TALKWIRE_API int packet_decode(unsigned char* buffer, uint32_t size, tw_packet* record);

/* ---- Client parsers ----------------------------------------------------------------------- */

/* An accepting answer finishes the process's login (see encode_login_passwd): TW_OK when the
 * server proved that it holds the account's record, else TW_ERR_UNPROVEN. A refusal or a
 * redirect ends the login's exchange (a redirected login starts a fresh one). */
TALKWIRE_API int on_login_ack(tw_login_ack* record, const void* body, uint32_t length);
/* On success *list is a new list, to be released with ptt_ack_free_groups; on failure null. */
TALKWIRE_API int on_query_group_ack(tw_group_list** list, const void* body, uint32_t length);
TALKWIRE_API void ptt_ack_free_groups(tw_group_list* list);
TALKWIRE_API int on_join_group_ack(tw_join_group_ack* record, const void* body, uint32_t length);
TALKWIRE_API int on_set_group_option_ack(tw_result_ack* record, const void* body, uint32_t length);
TALKWIRE_API int on_leave_group_ack(tw_result_ack* record, const void* body, uint32_t length);
TALKWIRE_API int on_call_ack(tw_result_ack* record, const void* body, uint32_t length);
TALKWIRE_API int on_request_mic_ack(tw_result_ack* record, const void* body, uint32_t length);
/* Members are allocated on success; free_meeting_call_ack releases them (safe on any result). */
TALKWIRE_API int on_meeting_call_ack(tw_meeting_call_ack* record, const void* body, uint32_t length);
TALKWIRE_API void free_meeting_call_ack(tw_meeting_call_ack* record);
TALKWIRE_API int on_mem_get_mic(tw_member_get_mic* record, const void* body, uint32_t length);
TALKWIRE_API int on_mem_lost_mic(tw_member_lost_mic* record, const void* body, uint32_t length);
TALKWIRE_API int on_tmp_call_rel(tw_temp_call_release* record, const void* body, uint32_t length);
TALKWIRE_API int on_tmp_call_arrived(tw_temp_call_arrived* record, const void* body, uint32_t length);
TALKWIRE_API int on_meeting_call_release(tw_meeting_call_release* record, const void* body, uint32_t length);

/* ---- Voice (client) ----------------------------------------------------------------------- */

/* Builds the UDP heartbeat; also teaches talkwire the user id it writes into voice datagrams. */
TALKWIRE_API int cp_rtp_heartbeat(unsigned char* buf, int cap, uint32_t userId);
/* Builds a talk-start (start 1) or talk-stop (start 0) marker into buf (TW_DATAGRAM_SIZE bytes). */
TALKWIRE_API int ptt_fake_voice_send(const char* markerText, uint32_t markerId, unsigned char* buf, int start);
/* Encodes one 20 ms block (TW_FRAME_BYTES bytes of PCM) as one self-delimiting frame; mode 1
 * about 12 kbit/s, mode 2 about 24 kbit/s. Returns the frame's bytes, 0 on failure. */
TALKWIRE_API int ptt_voice_audio_encode(const void* pcm, int length, unsigned char* out, int cap, unsigned char mode);
/* Wraps 1 to 5 frames (as written by ptt_voice_audio_encode) into one voice datagram. */
TALKWIRE_API int ptt_voice_packet_encode(const unsigned char* frames, int length, int count, unsigned char* out,
                                         int cap, unsigned char mode);
/* Resets the sequence number and the encoders (as capture closes). */
TALKWIRE_API void ptt_clear_send(void);

/* ---- Voice (receiving) -------------------------------------------------------------------- */

/* Sender's user id of a voice or end-of-talk datagram, 0 for anything else. */
TALKWIRE_API uint32_t ptt_get_rx_udp_uid(const void* datagram, int length);
/* Fills the zero-filled packet; a rejected datagram leaves kind TW_KIND_INVALID and returns
 * a negative code. */
TALKWIRE_API int ptt_process_rx_udp(const void* datagram, int length, _AUDIO_PACKET* packet);
/* Decodes a whole payload (as filled by ptt_process_rx_udp) into PCM; returns the PCM bytes
 * (concealed audio for a short gap of lost packets comes first), below 1 on failure. */
TALKWIRE_API int ptt_voice_decode(const unsigned char* payload, int length, unsigned char* out, int cap,
                                  unsigned char mode);

/* ---- Server side -------------------------------------------------------------------------- */

TALKWIRE_API int srv_parse_login(tw_login_request* record, const void* body, uint32_t length);
TALKWIRE_API int srv_parse_login_confirm(tw_login_confirm* record, const void* body, uint32_t length);
TALKWIRE_API int srv_parse_id_request(tw_id_request* record, const void* body, uint32_t length);
TALKWIRE_API int srv_parse_group_option(tw_group_option_request* record, const void* body, uint32_t length);
TALKWIRE_API int srv_parse_call_request(tw_call_request* record, const void* body, uint32_t length);
/* Empty-bodied requests (logout, query groups): 0 for an empty body. */
TALKWIRE_API int srv_parse_empty(const void* body, uint32_t length);

TALKWIRE_API int srv_build_login_ack(unsigned char* buf, int cap, const tw_login_ack* record);
/* A refusal a client of the previous protocol version reads (its login answer had no
 * exchange). */
TALKWIRE_API int srv_build_old_login_refusal(unsigned char* buf, int cap, uint8_t result);
TALKWIRE_API int srv_build_group_list(unsigned char* buf, int cap, const tw_group_entry* entries, uint32_t count);
TALKWIRE_API int srv_build_join_group_ack(unsigned char* buf, int cap, const tw_join_group_ack* record);
/* command: TW_CMD_QUIT_GROUP_ACK, TW_CMD_REQUEST_MIC_ACK, TW_CMD_TEMP_CALL_ACK or
 * TW_CMD_SET_GROUP_OPTION_ACK. */
TALKWIRE_API int srv_build_result_ack(unsigned char* buf, int cap, unsigned char command, int32_t result);
TALKWIRE_API int srv_build_release_mic_ack(unsigned char* buf, int cap, uint32_t groupId);
TALKWIRE_API int srv_build_logout_ack(unsigned char* buf, int cap);
TALKWIRE_API int srv_build_meeting_call_ack(unsigned char* buf, int cap, int32_t result, uint32_t meetingId,
                                            const tw_meeting_member* members, uint32_t count);
TALKWIRE_API int srv_build_self_lost_mic(unsigned char* buf, int cap, uint32_t groupId);
TALKWIRE_API int srv_build_member_get_mic(unsigned char* buf, int cap, const tw_member_get_mic* record);
TALKWIRE_API int srv_build_member_lost_mic(unsigned char* buf, int cap, const tw_member_lost_mic* record);
TALKWIRE_API int srv_build_temp_call_release(unsigned char* buf, int cap, uint32_t groupId);
TALKWIRE_API int srv_build_temp_call_arrived(unsigned char* buf, int cap, const tw_temp_call_arrived* record);
TALKWIRE_API int srv_build_meeting_call_release(unsigned char* buf, int cap, const tw_meeting_call_release* record);

/* Reads any talkwire datagram (heartbeat, marker, voice, end of talk). */
TALKWIRE_API int srv_parse_datagram(const void* datagram, int length, tw_datagram_info* info);
/* Writes the sender's user id into a voice or end-of-talk datagram in place (relay). */
TALKWIRE_API int srv_stamp_sender(unsigned char* datagram, int length, uint32_t senderId);
/* Builds an end-of-talk datagram for a listener. */
TALKWIRE_API int srv_build_end_of_talk(unsigned char* buf, int cap, uint32_t senderId, uint16_t sequence);

#ifdef __cplusplus
}
#endif

#endif
