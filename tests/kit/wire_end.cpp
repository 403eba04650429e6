#include "wire_end.h"

#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <utility>

#include "framing.h"
#include "messages.h"

namespace test_kit {

namespace {

constexpr std::size_t kDatagramRoom = 2048;

}  // namespace

WireEnd::WireEnd() = default;
WireEnd::~WireEnd() = default;

Bytes WireEnd::frame(const unsigned char* message, int length) {
    if (length < 0) return {};
    Bytes sealed;
    if (link_) {
        if (!link_->sealControl({message, static_cast<std::size_t>(length)}, sealed)) return {};
        message = sealed.data();
        length = static_cast<int>(sealed.size());
    }
    Bytes framed(2 * static_cast<std::size_t>(length) + 16);
    framed.resize(talkwire::framing::frame(message, static_cast<uint16_t>(length), framed.data(),
                                           static_cast<uint16_t>(std::min<std::size_t>(framed.size(), 0xFFFF))));
    return framed;
}

std::optional<Bytes> WireEnd::read(unsigned char* frame, uint32_t size) {
    std::span<unsigned char> message;
    if (talkwire::framing::unframe(frame, size, message) != TW_OK) return std::nullopt;
    if (link_ && !link_->openControlInPlace(message)) {
        ++unopened;
        return std::nullopt;
    }
    tw_packet packet{};
    if (talkwire::framing::readMessage(message, &packet) <= 0) return std::nullopt;
    if (server_ && packet.header[0] == TW_CMD_LOGIN_CONFIRM) {
        tw_login_confirm confirm{};
        talkwire::spake2plus::Confirmation confirmation{};
        talkwire::login::SessionKeys keys;
        if (srv_parse_login_confirm(&confirm, packet.body, packet.bodyLength) == TW_OK && confirm.confirmed != 0) {
            std::memcpy(confirmation.data(), confirm.confirmation, confirmation.size());
            if (server_->finish(confirmation, keys)) {
                link_ =
                    std::make_unique<talkwire::ProtectedLink>(talkwire::ProtectedLink::End::kServer, keys, serverUser_);
            }
        }
        server_.reset();
    }
    return Bytes(message.begin(), message.end());
}

std::string WireEnd::startLogin(const std::string& account, const std::string& password) {
    return startLogin(account, secretFor(account, password));
}

std::string WireEnd::startLogin(const std::string& account, const talkwire::spake2plus::ProverSecret& secret) {
    link_.reset();
    client_ = std::make_unique<talkwire::login::ClientLogin>(account, secret);
    return client_->start().value_or("");
}

bool WireEnd::finishLogin(const tw_login_ack& answer, Bytes& confirmation) {
    std::unique_ptr<talkwire::login::ClientLogin> client = std::move(client_);
    if (!client || answer.result != 0) return false;
    talkwire::spake2plus::Share share{};
    talkwire::spake2plus::Confirmation theirs{};
    talkwire::spake2plus::Confirmation ours{};
    std::memcpy(share.data(), answer.serverShare, share.size());
    std::memcpy(theirs.data(), answer.serverConfirmation, theirs.size());
    talkwire::login::SessionKeys keys;
    if (!client->finish(share, theirs, ours, keys)) return false;
    unsigned char message[64];
    confirmation = frame(message, cp_login_confirm(message, sizeof message, ours.data()));
    link_ = std::make_unique<talkwire::ProtectedLink>(talkwire::ProtectedLink::End::kClient, keys, answer.userId);
    return true;
}

bool WireEnd::answerLogin(const std::string& account, const std::string& password, const std::string& shareText,
                          tw_login_ack& answer) {
    server_ = std::make_unique<talkwire::login::ServerLogin>(account, recordFor(account, password));
    serverUser_ = answer.userId;
    talkwire::spake2plus::Share share{};
    talkwire::spake2plus::Confirmation confirmation{};
    if (!server_->respond(shareText, share, confirmation)) {
        server_.reset();
        return false;
    }
    std::memcpy(answer.serverShare, share.data(), share.size());
    std::memcpy(answer.serverConfirmation, confirmation.data(), confirmation.size());
    return true;
}

Bytes WireEnd::sealDatagram(const Bytes& plain) {
    if (!link_) return plain;
    Bytes sealed(plain.size() + talkwire::ProtectedLink::kDatagramOverhead);
    sealed.resize(link_->sealDatagram(plain, sealed.data(), sealed.size()));
    return sealed;
}

std::optional<Bytes> WireEnd::openDatagram(const Bytes& sealed) {
    if (!link_) return sealed;
    Bytes plain(kDatagramRoom);
    const std::optional<std::size_t> size = link_->openDatagram(sealed, plain.data(), plain.size());
    if (!size) {
        ++unopened;
        return std::nullopt;
    }
    plain.resize(*size);
    return plain;
}

const talkwire::spake2plus::ProverSecret& secretFor(const std::string& account, const std::string& password) {
    static std::mutex lock;
    static std::map<std::pair<std::string, std::string>, talkwire::spake2plus::ProverSecret> secrets;
    std::lock_guard guard(lock);
    auto [entry, made] = secrets.try_emplace({account, password});
    if (made) {
        std::array<uint8_t, talkwire::login::kLoginKeyBytes> key{};
        if (derive_login_key(account.c_str(), password.c_str(), key.data()) == TW_OK) {
            talkwire::login::proverSecret(key, entry->second);
        }
    }
    return entry->second;
}

const talkwire::spake2plus::VerifierRecord& recordFor(const std::string& account, const std::string& password) {
    static std::mutex lock;
    static std::map<std::pair<std::string, std::string>, talkwire::spake2plus::VerifierRecord> records;
    std::lock_guard guard(lock);
    auto [entry, made] = records.try_emplace({account, password});
    if (made) talkwire::spake2plus::verifierRecord(secretFor(account, password), entry->second);
    return entry->second;
}

int parseLoginAnswer(tw_login_ack& answer, const unsigned char* body, uint32_t length) {
    return talkwire::parseRecord(&answer, body, length, talkwire::loginAckFields);
}

}  // namespace test_kit
