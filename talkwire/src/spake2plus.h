// SPAKE2+ (RFC 9383), suite P256-SHA256-HKDF-SHA256-HMAC-SHA256: an augmented
// password-authenticated key exchange. The prover (the client) holds w0 and w1, derived from
// the password; the verifier (the server) holds only w0 and L = w1·P, so that its record does
// not let anyone prove. Each side sends one share; the verifier answers with its confirmation,
// the prover confirms last; both end with the same 32-byte key, or with nothing.
//
// Points travel uncompressed (65 bytes), scalars as 32 big-endian bytes. Every secret is
// wiped when its holder goes; a failed step leaves the object unusable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace talkwire::spake2plus {

constexpr std::size_t kScalarBytes = 32;
constexpr std::size_t kShareBytes = 65;
constexpr std::size_t kConfirmBytes = 32;
constexpr std::size_t kKeyBytes = 32;
// What the password's hash gives: w0s || w1s, each 40 bytes, so that reducing them modulo
// the group order leaves no usable bias.
constexpr std::size_t kHashOutputBytes = 80;

using Scalar = std::array<uint8_t, kScalarBytes>;
using Share = std::array<uint8_t, kShareBytes>;
using Confirmation = std::array<uint8_t, kConfirmBytes>;
using Key = std::array<uint8_t, kKeyBytes>;

// What both sides bind into the transcript besides the password.
struct Identities {
    std::span<const uint8_t> context;
    std::span<const uint8_t> prover;
    std::span<const uint8_t> verifier;
};

struct ProverSecret {
    Scalar w0{};
    Scalar w1{};
    ~ProverSecret();
};

struct VerifierRecord {
    Scalar w0{};
    Share L{};
    // w0·M and w0·N, made once with the record (completeRecord) so that no exchange spends
    // two of its multiplications on them.
    Share w0M{};
    Share w0N{};
    ~VerifierRecord();
};

// w0 and w1 from the password hash's output; false if either reduces to zero.
bool proverSecret(std::span<const uint8_t, kHashOutputBytes> hashOutput, ProverSecret& secret);
// The verifier's record of a prover's secret.
bool verifierRecord(const ProverSecret& secret, VerifierRecord& record);
// Makes w0·M and w0·N of a record read as w0 and L.
bool completeRecord(VerifierRecord& record);

class Prover {
public:
    Prover(Identities identities, const ProverSecret& secret);
    ~Prover();
    Prover(const Prover&) = delete;
    Prover& operator=(const Prover&) = delete;

    // The prover's share, from a fresh random x (or the given one, for known answers).
    bool start(Share& shareP, const Scalar* fixedX = nullptr);
    // Checks the verifier's share and confirmation: on success, the prover's confirmation
    // to send and the shared key. False for a share that is no valid point or a
    // confirmation that does not match (a wrong password, or a verifier without the record).
    bool finish(const Share& shareV, const Confirmation& confirmV, Confirmation& confirmP, Key& key);

private:
    Identities identities_;
    ProverSecret secret_;
    Scalar x_{};
    Share shareP_{};
    bool started_ = false;
};

class Verifier {
public:
    Verifier(Identities identities, const VerifierRecord& record);
    ~Verifier();
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;

    // Answers the prover's share with the verifier's share and confirmation, from a fresh
    // random y (or the given one). False for a share that is no valid point.
    bool respond(const Share& shareP, Share& shareV, Confirmation& confirmV, const Scalar* fixedY = nullptr);
    // Checks the prover's confirmation (in constant time): on success, the shared key.
    bool finish(const Confirmation& confirmP, Key& key);

private:
    Identities identities_;
    VerifierRecord record_;
    Confirmation expectedConfirmP_{};
    Key key_{};
    bool responded_ = false;
};

}  // namespace talkwire::spake2plus
