#include "client_connection.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "framing.h"
#include "login_exchange.h"

namespace talkwire::client {

namespace {

struct Connection {
    std::mutex lock;
    // Set by the first login: from then on datagrams are never plain.
    bool loginStarted = false;
    std::unique_ptr<login::ClientLogin> exchange;
    std::unique_ptr<ProtectedLink> link;
    // Sent ahead of the first message after the login.
    std::optional<spake2plus::Confirmation> confirmation;
    // A sealed message before it is framed.
    std::vector<unsigned char> sealed;
};

Connection& connection() {
    static Connection instance;
    return instance;
}

// The longest a message of `length` bytes can grow when framed: every byte escaped.
constexpr std::size_t framedAtMost(std::size_t length) { return 2 * (length + 4) + 2; }

}  // namespace

std::optional<std::string> startLogin(std::string_view account, std::span<const uint8_t, login::kLoginKeyBytes> key) {
    spake2plus::ProverSecret secret;
    if (!login::proverSecret(key, secret)) return std::nullopt;
    auto exchange = std::make_unique<login::ClientLogin>(account, secret);
    std::optional<std::string> share = exchange->start();
    if (!share) return std::nullopt;
    Connection& state = connection();
    std::lock_guard lock(state.lock);
    state.loginStarted = true;
    state.link.reset();
    state.confirmation.reset();
    state.exchange = std::move(exchange);
    return share;
}

int finishLogin(const tw_login_ack& answer) {
    Connection& state = connection();
    std::lock_guard lock(state.lock);
    // A refusal or a redirect ends this exchange; it proves nothing either way.
    std::unique_ptr<login::ClientLogin> exchange = std::move(state.exchange);
    if (answer.result != 0 || answer.redirectAddress[0] != '\0') return TW_OK;
    if (!exchange) return TW_ERR_UNPROVEN;
    spake2plus::Share share{};
    spake2plus::Confirmation confirmation{};
    std::memcpy(share.data(), answer.serverShare, share.size());
    std::memcpy(confirmation.data(), answer.serverConfirmation, confirmation.size());
    spake2plus::Confirmation ours{};
    login::SessionKeys keys;
    if (!exchange->finish(share, confirmation, ours, keys)) return TW_ERR_UNPROVEN;
    state.link = std::make_unique<ProtectedLink>(ProtectedLink::End::kClient, keys, answer.userId);
    state.confirmation = ours;
    return TW_OK;
}

uint16_t frame(const void* message, uint16_t length, unsigned char* out, uint16_t cap) {
    Connection& state = connection();
    std::lock_guard lock(state.lock);
    if (!state.link) return framing::frame(message, length, out, cap);
    if (message == nullptr || out == nullptr) return 0;
    uint16_t position = 0;
    std::array<unsigned char, 64> confirm{};
    int confirmLength = 0;
    if (state.confirmation) {
        confirmLength = cp_login_confirm(confirm.data(), static_cast<int>(confirm.size()), state.confirmation->data());
        if (confirmLength <= 0) return 0;
    }
    const std::size_t sealedLength = std::size_t{length} + ProtectedLink::kControlOverhead;
    // Checked before sealing: a counter spent on a message never sent would end the
    // connection at the next one.
    if (sealedLength > 0xFFFF - framing::kOverhead ||
        framedAtMost(sealedLength) + framedAtMost(static_cast<std::size_t>(confirmLength)) > cap) {
        return 0;
    }
    if (confirmLength > 0) {
        position = framing::frame(confirm.data(), static_cast<uint16_t>(confirmLength), out, cap);
    }
    if (!state.link->sealControl({static_cast<const unsigned char*>(message), length}, state.sealed)) return 0;
    const uint16_t framed = framing::frame(state.sealed.data(), static_cast<uint16_t>(sealedLength), out + position,
                                           static_cast<uint16_t>(cap - position));
    if (framed == 0) return 0;
    state.confirmation.reset();
    return static_cast<uint16_t>(position + framed);
}

int readMessage(std::span<unsigned char> message, tw_packet* record) {
    Connection& state = connection();
    std::lock_guard lock(state.lock);
    if (!state.link) return framing::readMessage(message, record);
    if (record != nullptr) *record = tw_packet{};
    if (!state.link->openControlInPlace(message)) return TW_ERR_SEALED;
    const int length = framing::readMessage(message, record);
    // The logout's answer is the connection's last message: its keys go now.
    if (length > 0 && record->header[0] == TW_CMD_LOGOUT_ACK) state.link.reset();
    return length;
}

int sealDatagram(unsigned char* buffer, int length, int capacity) {
    if (length <= 0) return length;
    Connection& state = connection();
    std::lock_guard lock(state.lock);
    if (!state.loginStarted) return length;
    if (!state.link) return TW_ERR_SEALED;
    std::array<unsigned char, TW_DATAGRAM_SIZE + ProtectedLink::kDatagramOverhead> sealed{};
    const std::size_t size =
        state.link->sealDatagram({buffer, static_cast<std::size_t>(length)}, sealed.data(),
                                 std::min(sealed.size(), static_cast<std::size_t>(std::max(capacity, 0))));
    if (size == 0) return TW_ERR_SPACE;
    std::memcpy(buffer, sealed.data(), size);
    return static_cast<int>(size);
}

std::optional<std::span<const unsigned char>> openDatagram(const void* datagram, int length, unsigned char* out,
                                                           ProtectedLink::Opening opening) {
    if (datagram == nullptr || length <= 0) return std::nullopt;
    const std::span<const unsigned char> received(static_cast<const unsigned char*>(datagram),
                                                  static_cast<std::size_t>(length));
    Connection& state = connection();
    std::lock_guard lock(state.lock);
    if (!state.loginStarted) return received;
    if (!state.link) return std::nullopt;
    const std::optional<std::size_t> size = state.link->openDatagram(received, out, TW_DATAGRAM_SIZE, opening);
    if (!size) return std::nullopt;
    return std::span<const unsigned char>(out, *size);
}

}  // namespace talkwire::client
