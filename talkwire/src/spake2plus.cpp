#include "spake2plus.h"

#include "hkdf.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>
#include <openssl/sha.h>
#include <sodium.h>

#include <memory>
#include <vector>

namespace talkwire::spake2plus {

namespace {

// The suite's fixed points M and N for P-256, compressed (RFC 9383, section 4).
constexpr uint8_t kM[33] = {0x02, 0x88, 0x6e, 0x2f, 0x97, 0xac, 0xe4, 0x6e, 0x55, 0xba, 0x9d,
                            0xd7, 0x24, 0x25, 0x79, 0xf2, 0x99, 0x3b, 0x64, 0xe1, 0x6e, 0xf3,
                            0xdc, 0xab, 0x95, 0xaf, 0xd4, 0x97, 0x33, 0x3d, 0x8f, 0xa1, 0x2f};
constexpr uint8_t kN[33] = {0x03, 0xd8, 0xbb, 0xd6, 0xc6, 0x39, 0xc6, 0x29, 0x37, 0xb0, 0x4d,
                            0x99, 0x7f, 0x38, 0xc3, 0x77, 0x07, 0x19, 0xc6, 0x29, 0xd7, 0x01,
                            0x4d, 0x49, 0xa2, 0x4b, 0x4f, 0x98, 0xba, 0xa1, 0x29, 0x2b, 0x49};
constexpr std::size_t kHalfHashOutput = kHashOutputBytes / 2;

struct FreeNumber {
    void operator()(BIGNUM* number) const { BN_clear_free(number); }
};
struct FreePoint {
    void operator()(EC_POINT* point) const { EC_POINT_clear_free(point); }
};
struct FreeGroup {
    void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
};
struct FreeContext {
    void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};
using Number = std::unique_ptr<BIGNUM, FreeNumber>;
using Point = std::unique_ptr<EC_POINT, FreePoint>;

// P-256 and its order, made once per process: both are only read after that, from any
// thread (making the group and its tables took a good part of a login's time).
// So are M and N, decoded once (each decoding takes a square root) with their uncompressed
// bytes for the transcript.
struct Group {
    std::unique_ptr<EC_GROUP, FreeGroup> group;
    Number order;
    Point m;
    Point n;
    Share mBytes{};
    Share nBytes{};
    Group() {
        if (!cryptoReady()) return;
        group.reset(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
        order.reset(BN_new());
        const bool made = group && order && EC_GROUP_get_order(group.get(), order.get(), nullptr) == 1 &&
                          fixedPoint(kM, m, mBytes) && fixedPoint(kN, n, nBytes);
        if (!made) group.reset();
    }

private:
    bool fixedPoint(const uint8_t (&compressed)[33], Point& point, Share& uncompressed) {
        point.reset(EC_POINT_new(group.get()));
        return point && EC_POINT_oct2point(group.get(), point.get(), compressed, sizeof compressed, nullptr) == 1 &&
               EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, uncompressed.data(),
                                  uncompressed.size(), nullptr) == uncompressed.size();
    }
};

const Group& p256() {
    static const Group made;
    return made;
}

// The group and the scratch space of one step. Scalar multiplications with secrets are each
// done alone (one scalar, one point), which OpenSSL runs in constant time; only then are
// the products added.
class Curve {
public:
    Curve() : group_(p256().group.get()), order_(p256().order.get()), context_(BN_CTX_secure_new()) {
        ok_ = group_ != nullptr && context_ != nullptr;
    }
    bool ok() const { return ok_; }
    const BIGNUM* order() const { return order_; }

    Number number() const { return Number(BN_secure_new()); }
    Point point() const { return Point(EC_POINT_new(group_)); }

    Number scalar(const Scalar& bytes) const {
        Number number(BN_secure_new());
        if (number && BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), number.get()) == nullptr) number.reset();
        return number;
    }
    // A uniformly random scalar in [1, order - 1].
    Number randomScalar() const {
        Number number(BN_secure_new());
        do {
            if (!number || BN_priv_rand_range(number.get(), order_) != 1) return nullptr;
        } while (BN_is_zero(number.get()));
        return number;
    }
    static bool bytes(const BIGNUM* number, Scalar& out) {
        return BN_bn2binpad(number, out.data(), static_cast<int>(out.size())) == static_cast<int>(out.size());
    }

    // A share or record point as it travels: uncompressed, on the curve, not the identity.
    Point decode(const uint8_t* bytes, std::size_t size) const {
        Point point = this->point();
        if (!point || size == 0 || (size == kShareBytes && bytes[0] != POINT_CONVERSION_UNCOMPRESSED) ||
            EC_POINT_oct2point(group_, point.get(), bytes, size, context_.get()) != 1 ||
            EC_POINT_is_at_infinity(group_, point.get()) == 1) {
            return nullptr;
        }
        return point;
    }
    bool encode(const EC_POINT* point, Share& out) const {
        return EC_POINT_is_at_infinity(group_, point) != 1 &&
               EC_POINT_point2oct(group_, point, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(),
                                  context_.get()) == out.size();
    }

    // scalar·G, or scalar·point.
    Point times(const BIGNUM* scalar, const EC_POINT* point = nullptr) const {
        Point result = this->point();
        if (!result) return nullptr;
        const bool done = point == nullptr
                              ? EC_POINT_mul(group_, result.get(), scalar, nullptr, nullptr, context_.get()) == 1
                              : EC_POINT_mul(group_, result.get(), nullptr, point, scalar, context_.get()) == 1;
        return done ? std::move(result) : nullptr;
    }
    // a + b, or a − b.
    Point add(const EC_POINT* a, const EC_POINT* b, bool subtract = false) const {
        Point result = this->point();
        Point negated = this->point();
        if (!result || !negated || EC_POINT_copy(negated.get(), b) != 1 ||
            (subtract && EC_POINT_invert(group_, negated.get(), context_.get()) != 1) ||
            EC_POINT_add(group_, result.get(), a, negated.get(), context_.get()) != 1) {
            return nullptr;
        }
        return result;
    }
    // One side's share: scalar·G + w0·fixed (M or N).
    Point share(const BIGNUM* scalar, const BIGNUM* w0, const EC_POINT* fixed) const {
        Point first = times(scalar);
        Point second = times(w0, fixed);
        return first && second ? add(first.get(), second.get()) : nullptr;
    }
    // The other side's share with its password mask taken off: share − w0·fixed.
    Point unmasked(const EC_POINT* share, const BIGNUM* w0, const EC_POINT* fixed) const {
        Point mask = times(w0, fixed);
        Point result = mask ? add(share, mask.get(), true) : nullptr;
        if (!result || EC_POINT_is_at_infinity(group_, result.get()) == 1) return nullptr;
        return result;
    }
    static const EC_POINT* m() { return p256().m.get(); }
    static const EC_POINT* n() { return p256().n.get(); }

private:
    const EC_GROUP* group_;
    const BIGNUM* order_;
    std::unique_ptr<BN_CTX, FreeContext> context_;
    bool ok_ = false;
};

// The transcript TT: every field with its length as eight little-endian bytes.
class Transcript {
public:
    ~Transcript() { sodium_memzero(bytes_.data(), bytes_.size()); }
    void add(std::span<const uint8_t> field) {
        uint64_t length = field.size();
        for (int i = 0; i < 8; ++i, length >>= 8) bytes_.push_back(static_cast<uint8_t>(length & 0xff));
        bytes_.insert(bytes_.end(), field.begin(), field.end());
    }
    std::span<const uint8_t> bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

bool mac(const uint8_t* key, const Share& message, Confirmation& out) {
    unsigned int size = 0;
    return HMAC(EVP_sha256(), key, static_cast<int>(kConfirmBytes), message.data(), message.size(), out.data(),
                &size) != nullptr &&
           size == out.size();
}

// The key schedule: from the transcript, both confirmations and the shared key.
struct Schedule {
    Confirmation confirmP{};
    Confirmation confirmV{};
    Key shared{};
    ~Schedule() {
        sodium_memzero(confirmP.data(), confirmP.size());
        sodium_memzero(confirmV.data(), confirmV.size());
        sodium_memzero(shared.data(), shared.size());
    }
};

bool schedule(const Curve& curve, const Identities& identities, const Share& shareP, const Share& shareV,
              const EC_POINT* z, const EC_POINT* v, const Scalar& w0, Schedule& out) {
    Share zBytes{}, vBytes{};
    if (!curve.encode(z, zBytes) || !curve.encode(v, vBytes)) {
        return false;
    }
    Transcript transcript;
    for (std::span<const uint8_t> field :
         {identities.context, identities.prover, identities.verifier, std::span<const uint8_t>(p256().mBytes),
          std::span<const uint8_t>(p256().nBytes), std::span<const uint8_t>(shareP), std::span<const uint8_t>(shareV),
          std::span<const uint8_t>(zBytes), std::span<const uint8_t>(vBytes), std::span<const uint8_t>(w0)}) {
        transcript.add(field);
    }
    sodium_memzero(zBytes.data(), zBytes.size());
    sodium_memzero(vBytes.data(), vBytes.size());
    uint8_t main[SHA256_DIGEST_LENGTH];
    uint8_t confirmationKeys[2 * kConfirmBytes];
    const bool done = SHA256(transcript.bytes().data(), transcript.bytes().size(), main) != nullptr &&
                      hkdf(main, sizeof main, "ConfirmationKeys", confirmationKeys, sizeof confirmationKeys) &&
                      hkdf(main, sizeof main, "SharedKey", out.shared.data(), out.shared.size()) &&
                      mac(confirmationKeys, shareV, out.confirmP) &&
                      mac(confirmationKeys + kConfirmBytes, shareP, out.confirmV);
    sodium_memzero(main, sizeof main);
    sodium_memzero(confirmationKeys, sizeof confirmationKeys);
    return done;
}

}  // namespace

ProverSecret::~ProverSecret() {
    sodium_memzero(w0.data(), w0.size());
    sodium_memzero(w1.data(), w1.size());
}

VerifierRecord::~VerifierRecord() {
    sodium_memzero(w0.data(), w0.size());
    sodium_memzero(w0M.data(), w0M.size());
    sodium_memzero(w0N.data(), w0N.size());
}

bool proverSecret(std::span<const uint8_t, kHashOutputBytes> hashOutput, ProverSecret& secret) {
    const Curve curve;
    if (!curve.ok()) return false;
    for (int half = 0; half < 2; ++half) {
        Number wide = curve.number();
        Number reduced = curve.number();
        std::unique_ptr<BN_CTX, FreeContext> context(BN_CTX_secure_new());
        if (!wide || !reduced || !context ||
            BN_bin2bn(hashOutput.data() + half * kHalfHashOutput, kHalfHashOutput, wide.get()) == nullptr ||
            BN_nnmod(reduced.get(), wide.get(), curve.order(), context.get()) != 1 || BN_is_zero(reduced.get()) ||
            !Curve::bytes(reduced.get(), half == 0 ? secret.w0 : secret.w1)) {
            return false;
        }
    }
    return true;
}

bool verifierRecord(const ProverSecret& secret, VerifierRecord& record) {
    const Curve curve;
    Number w1 = curve.ok() ? curve.scalar(secret.w1) : nullptr;
    Point l = w1 ? curve.times(w1.get()) : nullptr;
    if (!l || !curve.encode(l.get(), record.L)) return false;
    record.w0 = secret.w0;
    return completeRecord(record);
}

bool completeRecord(VerifierRecord& record) {
    const Curve curve;
    Number w0 = curve.ok() ? curve.scalar(record.w0) : nullptr;
    Point m = w0 ? curve.times(w0.get(), Curve::m()) : nullptr;
    Point n = w0 ? curve.times(w0.get(), Curve::n()) : nullptr;
    return m && n && curve.encode(m.get(), record.w0M) && curve.encode(n.get(), record.w0N);
}

Prover::Prover(Identities identities, const ProverSecret& secret) : identities_(identities) {
    secret_.w0 = secret.w0;
    secret_.w1 = secret.w1;
}

Prover::~Prover() { sodium_memzero(x_.data(), x_.size()); }

bool Prover::start(Share& shareP, const Scalar* fixedX) {
    const Curve curve;
    if (!curve.ok() || started_) return false;
    Number x = fixedX != nullptr ? curve.scalar(*fixedX) : curve.randomScalar();
    Number w0 = curve.scalar(secret_.w0);
    Point share = x && w0 ? curve.share(x.get(), w0.get(), Curve::m()) : nullptr;
    if (!share || !curve.encode(share.get(), shareP_) || !Curve::bytes(x.get(), x_)) return false;
    shareP = shareP_;
    started_ = true;
    return true;
}

bool Prover::finish(const Share& shareV, const Confirmation& confirmV, Confirmation& confirmP, Key& key) {
    if (!started_) return false;
    started_ = false;
    const Curve curve;
    Number x = curve.ok() ? curve.scalar(x_) : nullptr;
    sodium_memzero(x_.data(), x_.size());
    Number w0 = curve.scalar(secret_.w0);
    Number w1 = curve.scalar(secret_.w1);
    Point y = curve.decode(shareV.data(), shareV.size());
    Point unmasked = x && w0 && w1 && y ? curve.unmasked(y.get(), w0.get(), Curve::n()) : nullptr;
    Point z = unmasked ? curve.times(x.get(), unmasked.get()) : nullptr;
    Point v = unmasked ? curve.times(w1.get(), unmasked.get()) : nullptr;
    Schedule result;
    if (!z || !v || !schedule(curve, identities_, shareP_, shareV, z.get(), v.get(), secret_.w0, result) ||
        CRYPTO_memcmp(result.confirmV.data(), confirmV.data(), kConfirmBytes) != 0) {
        return false;
    }
    confirmP = result.confirmP;
    key = result.shared;
    return true;
}

Verifier::Verifier(Identities identities, const VerifierRecord& record) : identities_(identities) {
    record_.w0 = record.w0;
    record_.L = record.L;
    record_.w0M = record.w0M;
    record_.w0N = record.w0N;
}

Verifier::~Verifier() {
    sodium_memzero(expectedConfirmP_.data(), expectedConfirmP_.size());
    sodium_memzero(key_.data(), key_.size());
}

bool Verifier::respond(const Share& shareP, Share& shareV, Confirmation& confirmV, const Scalar* fixedY) {
    const Curve curve;
    if (!curve.ok() || responded_) return false;
    Number y = fixedY != nullptr ? curve.scalar(*fixedY) : curve.randomScalar();
    Point x = curve.decode(shareP.data(), shareP.size());
    Point l = curve.decode(record_.L.data(), record_.L.size());
    Point w0M = curve.decode(record_.w0M.data(), record_.w0M.size());
    Point w0N = curve.decode(record_.w0N.data(), record_.w0N.size());
    Point ownRandom = y ? curve.times(y.get()) : nullptr;
    Point share = ownRandom && w0N ? curve.add(ownRandom.get(), w0N.get()) : nullptr;
    // X − w0·M; one at infinity makes Z the point at infinity, which the schedule refuses.
    Point unmasked = x && w0M ? curve.add(x.get(), w0M.get(), true) : nullptr;
    Point z = unmasked && y ? curve.times(y.get(), unmasked.get()) : nullptr;
    Point v = l && y ? curve.times(y.get(), l.get()) : nullptr;
    Share ownShare{};
    Schedule result;
    if (!share || !z || !v || !curve.encode(share.get(), ownShare) ||
        !schedule(curve, identities_, shareP, ownShare, z.get(), v.get(), record_.w0, result)) {
        return false;
    }
    shareV = ownShare;
    confirmV = result.confirmV;
    expectedConfirmP_ = result.confirmP;
    key_ = result.shared;
    responded_ = true;
    return true;
}

bool Verifier::finish(const Confirmation& confirmP, Key& key) {
    if (!responded_) return false;
    responded_ = false;
    const bool confirmed = CRYPTO_memcmp(expectedConfirmP_.data(), confirmP.data(), kConfirmBytes) == 0;
    if (confirmed) key = key_;
    sodium_memzero(expectedConfirmP_.data(), expectedConfirmP_.size());
    sodium_memzero(key_.data(), key_.size());
    return confirmed;
}

}  // namespace talkwire::spake2plus
