// This process's connection as the library's talkwire calls see it: the login's key exchange
// while it runs, then the connection's keys, which seal what the framing and datagram
// functions send and open what they read. A process has one connection (the library has
// one); every call takes one lock, so the heartbeat, capture and receive threads may call at
// once, and the order in which messages are sealed is the order of the calls.
//
// Fail closed: once a login has started in this process, a datagram is neither sent nor
// taken without the connection's keys. (Before any login, datagrams stay plain: the codec's
// own users and tests need no connection.)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protected_link.h"
#include "talkwire.h"

namespace talkwire::client {

// Starts a login with the account's login key, wiping whatever an earlier one left: the
// client's share as the login request's password text, nothing when it cannot be made.
std::optional<std::string> startLogin(std::string_view account, std::span<const uint8_t, login::kLoginKeyBytes> key);
// The verdict on a parsed login answer (see on_login_ack).
int finishLogin(const tw_login_ack& answer);

// Frames a message, sealed once the login is finished, after the client's confirmation on
// the first call; the framed length or 0.
uint16_t frame(const void* message, uint16_t length, unsigned char* out, uint16_t cap);
// Opens an unframed message in place, once the login is finished, and points the record
// at it: its length, or a TW_ERR_* code (TW_ERR_SEALED when it did not open).
int readMessage(std::span<unsigned char> message, tw_packet* record);

// Seals in place a datagram of `length` bytes built in `buffer` of `capacity`: the length
// to send, or a TW_ERR_* code.
int sealDatagram(unsigned char* buffer, int length, int capacity);
// Opens a received datagram into `out` (TW_DATAGRAM_SIZE bytes): the plain datagram (the
// received one itself before any login), or nothing when it does not open.
std::optional<std::span<const unsigned char>> openDatagram(const void* datagram, int length, unsigned char* out,
                                                           ProtectedLink::Opening opening);

}  // namespace talkwire::client
