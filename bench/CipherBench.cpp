// Prints the seal and open throughput of SessionCipher at 1 KiB and 48 KiB
// beside OpenSSL's EVP ChaCha20-Poly1305 driven directly on the same buffers
// with the same keys and nonces, and our figure as a ratio of it. Then, for a
// video fragment of the default stream, the length-framed wire frame built as
// the session writer builds it (sealed into the buffer it sends) beside the
// same frame built by copying (seal, then wire frame, then length frame), and
// a wire frame opened from a view of the received bytes beside one whose body
// is copied out first.

#include "core/BigEndian.hpp"
#include "platform/crypto/KeyDerivation.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "transport/security/NetworkFramedConnection.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/video/SessionWireFrameCodec.hpp"
#include "transport/video/VideoFragmentPacket.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

using namespace velorinth;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSlices = 7;                                  // alternating measurements per figure
constexpr std::chrono::milliseconds kSliceTime{60};
constexpr std::string_view kInitiatorToResponder = "Velorinth session initiator-to-responder v1";

// Keeps results observable so the work is not optimised away.
volatile std::uint8_t gSink = 0;

[[noreturn]] void failEvp(const char* what) { throw std::runtime_error(std::string("EVP failure: ") + what); }

// The reference: one reused context per direction, output into caller buffers.
class EvpChaCha {
public:
    explicit EvpChaCha(ByteView key) : encrypt_(EVP_CIPHER_CTX_new()), decrypt_(EVP_CIPHER_CTX_new()) {
        if (!encrypt_ || !decrypt_ ||
            EVP_EncryptInit_ex(encrypt_.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr) != 1 ||
            EVP_DecryptInit_ex(decrypt_.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr) != 1) {
            failEvp("init");
        }
    }

    void seal(const std::uint8_t* nonce, ByteView plaintext, ByteView ad, std::uint8_t* out) {
        int length = 0;
        EVP_CIPHER_CTX* ctx = encrypt_.get();
        if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) != 1 ||
            EVP_EncryptUpdate(ctx, nullptr, &length, ad.data(), static_cast<int>(ad.size())) != 1 ||
            EVP_EncryptUpdate(ctx, out, &length, plaintext.data(), static_cast<int>(plaintext.size())) != 1 ||
            EVP_EncryptFinal_ex(ctx, out + length, &length) != 1 ||
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out + plaintext.size()) != 1) {
            failEvp("seal");
        }
    }

    void open(const std::uint8_t* nonce, ByteView sealed, ByteView ad, std::uint8_t* out) {
        int length = 0;
        const std::size_t bodySize = sealed.size() - 16;
        EVP_CIPHER_CTX* ctx = decrypt_.get();
        if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce) != 1 ||
            EVP_DecryptUpdate(ctx, nullptr, &length, ad.data(), static_cast<int>(ad.size())) != 1 ||
            EVP_DecryptUpdate(ctx, out, &length, sealed.data(), static_cast<int>(bodySize)) != 1 ||
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16,
                                const_cast<std::uint8_t*>(sealed.data() + bodySize)) != 1 ||
            EVP_DecryptFinal_ex(ctx, out + length, &length) != 1) {
            failEvp("open");
        }
    }

private:
    struct Free {
        void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_CIPHER_CTX, Free> encrypt_;
    std::unique_ptr<EVP_CIPHER_CTX, Free> decrypt_;
};

std::array<std::uint8_t, 12> nonceFor(ByteView tag, std::uint64_t sequence) {
    std::array<std::uint8_t, 12> nonce{};
    std::copy(tag.begin(), tag.end(), nonce.begin());
    bigendian::store<std::uint64_t>(std::span(nonce).last<8>(), sequence);
    return nonce;
}

// Runs `batch` (which processes `bytesPerBatch` bytes and returns the seconds
// it spent in the measured part) until the slice time is used; bytes/second.
template <class Batch>
double sliceThroughput(std::size_t bytesPerBatch, Batch&& batch) {
    double measured = 0;
    std::size_t bytes = 0;
    const auto end = Clock::now() + kSliceTime;
    while (Clock::now() < end) {
        measured += batch();
        bytes += bytesPerBatch;
    }
    return static_cast<double>(bytes) / measured;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class F>
double secondsOf(F&& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(const char* operation, std::size_t size, std::vector<double> ours, std::vector<double> reference) {
    const double a = median(std::move(ours)) / 1e6;
    const double b = median(std::move(reference)) / 1e6;
    std::printf("%-5s %6zu B   SessionCipher %8.1f MB/s   EVP %8.1f MB/s   ratio %.3f\n", operation, size, a, b, a / b);
}

void benchmark(std::size_t size) {
    const Bytes sessionKey = randomBytes(32);
    const Bytes ad = randomBytes(32); // the transcript hash in a real session
    const Bytes plaintext = randomBytes(size);
    // The initiator's sending direction, derived as the cipher derives it.
    const SecretBytes material = hkdfSha256(
        sessionKey, {}, ByteView(reinterpret_cast<const std::uint8_t*>(kInitiatorToResponder.data()),
                                 kInitiatorToResponder.size()),
        36);
    const ByteView key = material.view().first(32);
    const ByteView tag = material.view().subspan(32, 4);
    EvpChaCha reference(key);

    const std::size_t batchCount = std::max<std::size_t>(4, (256 * 1024) / size);
    const std::size_t batchBytes = batchCount * size;

    // A batch of sealed messages, sequences 0..n-1, for both openers.
    SessionCipher sealer(sessionKey, SessionRole::initiator);
    std::vector<EncryptedSessionMessage> sealedBatch;
    for (std::size_t i = 0; i < batchCount; ++i) sealedBatch.push_back(sealer.seal(plaintext, ad));

    SessionCipher sender(sessionKey, SessionRole::initiator);
    std::uint64_t referenceSequence = 0;
    Bytes out(size + 16);
    std::vector<double> sealOurs, sealReference, openOurs, openReference;
    for (int slice = 0; slice < kSlices; ++slice) {
        sealOurs.push_back(sliceThroughput(batchBytes, [&] {
            return secondsOf([&] {
                for (std::size_t i = 0; i < batchCount; ++i) gSink = gSink ^ sender.seal(plaintext, ad).ciphertext[0];
            });
        }));
        sealReference.push_back(sliceThroughput(batchBytes, [&] {
            return secondsOf([&] {
                for (std::size_t i = 0; i < batchCount; ++i) {
                    const auto nonce = nonceFor(tag, referenceSequence++);
                    reference.seal(nonce.data(), plaintext, ad, out.data());
                    gSink = gSink ^ out[0];
                }
            });
        }));
        openOurs.push_back(sliceThroughput(batchBytes, [&] {
            SessionCipher receiver(sessionKey, SessionRole::responder); // set-up is not measured
            return secondsOf([&] {
                for (const auto& message : sealedBatch) {
                    gSink = gSink ^ receiver.open(message.sequence, message.ciphertext, ad)[0];
                }
            });
        }));
        openReference.push_back(sliceThroughput(batchBytes, [&] {
            return secondsOf([&] {
                for (const auto& message : sealedBatch) {
                    const auto nonce = nonceFor(tag, message.sequence);
                    reference.open(nonce.data(), message.ciphertext, ad, out.data());
                    gSink = gSink ^ out[0];
                }
            });
        }));
    }
    report("seal", size, sealOurs, sealReference);
    report("open", size, openOurs, openReference);
}

// ---- one video fragment through the framing

Bytes framedBySealingInPlace(SessionCipher& cipher, ByteView plaintext, ByteView ad) {
    constexpr std::size_t kBodyOffset = NetworkFramedConnection::kHeaderSize + SessionWireFrameCodec::headerLength;
    Bytes frame(kBodyOffset + plaintext.size() + SessionCipher::kTagSize);
    const std::span<std::uint8_t> buffer(frame);
    const std::uint64_t sequence = cipher.sealInto(plaintext, ad, buffer.subspan(kBodyOffset));
    SessionWireFrameCodec::writeHeader(buffer.subspan<4, SessionWireFrameCodec::headerLength>(),
                                       SessionBinaryChannel::videoFragment, sequence);
    bigendian::store<std::uint32_t>(buffer.first<4>(), static_cast<std::uint32_t>(frame.size() - 4));
    return frame;
}

Bytes framedByCopying(SessionCipher& cipher, ByteView plaintext, ByteView ad) {
    const EncryptedSessionMessage sealed = cipher.seal(plaintext, ad);
    const Bytes wire = SessionWireFrameCodec::encode(SessionBinaryChannel::videoFragment, sealed.sequence,
                                                     sealed.ciphertext);
    Bytes frame(4 + wire.size());
    bigendian::store<std::uint32_t>(std::span(frame).first<4>(), static_cast<std::uint32_t>(wire.size()));
    std::copy(wire.begin(), wire.end(), frame.begin() + 4);
    return frame;
}

void benchmarkFraming(std::size_t size) {
    const Bytes sessionKey = randomBytes(32), ad = randomBytes(32), plaintext = randomBytes(size);
    constexpr std::size_t kBatch = 16;
    SessionCipher sealer(sessionKey, SessionRole::responder);
    std::vector<Bytes> received; // wire frames as the connection hands them over, sequences 0..n-1
    for (std::size_t i = 0; i < kBatch; ++i) received.push_back(framedBySealingInPlace(sealer, plaintext, ad));
    for (Bytes& frame : received) frame.erase(frame.begin(), frame.begin() + 4);

    std::vector<double> inPlace, copying, viewed, copiedOut;
    for (int slice = 0; slice < kSlices; ++slice) {
        for (const bool inPlaceSlice : {true, false}) {
            SessionCipher sender(sessionKey, SessionRole::responder);
            (inPlaceSlice ? inPlace : copying).push_back(sliceThroughput(kBatch * size, [&] {
                return secondsOf([&] {
                    for (std::size_t i = 0; i < kBatch; ++i) {
                        const Bytes frame = inPlaceSlice ? framedBySealingInPlace(sender, plaintext, ad)
                                                         : framedByCopying(sender, plaintext, ad);
                        gSink = gSink ^ frame[20];
                    }
                });
            }));
        }
        for (const bool viewSlice : {true, false}) {
            (viewSlice ? viewed : copiedOut).push_back(sliceThroughput(kBatch * size, [&] {
                SessionCipher receiver(sessionKey, SessionRole::initiator);
                return secondsOf([&] {
                    for (const Bytes& frame : received) {
                        const SessionWireFrameCodec::Frame wire = SessionWireFrameCodec::decode(frame);
                        const Bytes body = viewSlice ? Bytes() : Bytes(wire.body.begin(), wire.body.end());
                        gSink = gSink ^ receiver.open(wire.sequence, viewSlice ? wire.body : ByteView(body), ad)[0];
                    }
                });
            }));
        }
    }
    std::printf("frame %6zu B   sealed in place %8.1f MB/s   by copying %8.1f MB/s   ratio %.3f\n", size,
                median(inPlace) / 1e6, median(copying) / 1e6, median(inPlace) / median(copying));
    std::printf("open  %6zu B   from a view     %8.1f MB/s   body copied %7.1f MB/s   ratio %.3f\n", size,
                median(viewed) / 1e6, median(copiedOut) / 1e6, median(viewed) / median(copiedOut));
}

} // namespace

int main() {
    try {
        for (std::size_t size : {std::size_t{1024}, std::size_t{48 * 1024}}) benchmark(size);
        benchmarkFraming(VideoFragmentPacket::headerLength + 32'768);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "CipherBench failed: %s\n", e.what());
        return 1;
    }
}
