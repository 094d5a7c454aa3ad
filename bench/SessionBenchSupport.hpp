#pragma once

// What SessionBench needs beside the test rigs: loops on their own threads,
// bounded waits, percentiles, and the raw cipher it stands its figures beside.

#include "core/BigEndian.hpp"
#include "core/Bytes.hpp"
#include "platform/InMemorySecureStore.hpp"
#include "platform/crypto/SecureRandom.hpp"
#include "transport/security/DeviceIdentityService.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velorinth::bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr Clock::duration kStepLimit = 10s; // the bound of any one wait

inline volatile std::uint8_t gSink = 0;

// The loops may still run work that refers to the caller's state: leave at once.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "SessionBench failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

// One event loop on its own thread; it may drive a loop that a rig owns.
struct Loop {
    Loop() : owned(std::make_unique<asio::io_context>()), io(*owned), thread([this] { io.run(); }) {}
    explicit Loop(asio::io_context& driven) : io(driven), thread([this] { io.run(); }) {}
    ~Loop() { halt(); }
    void halt() {
        work.reset();
        io.stop();
        if (thread.joinable()) thread.join();
    }
    std::unique_ptr<asio::io_context> owned;
    asio::io_context& io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
};

template <class T>
T waitFor(std::future<T>& future, Clock::time_point deadline, const char* what) {
    if (future.wait_until(deadline) != std::future_status::ready) fail(std::string("timed out waiting for ") + what);
    try {
        return future.get();
    } catch (const std::exception& e) {
        fail(std::string(what) + ": " + e.what());
    }
}

// Runs `body` on `loop` and waits for it, for at most `limit`.
template <class T>
T await(Loop& loop, asio::awaitable<T> body, const char* what, Clock::duration limit = kStepLimit) {
    auto future = asio::co_spawn(loop.io, std::move(body), asio::use_future);
    return waitFor(future, Clock::now() + limit, what);
}

inline double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double megabytesPerSecond(double bytes, Clock::duration d) {
    return bytes / std::chrono::duration<double>(d).count() / 1e6;
}

// Nearest rank.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}
inline double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

inline std::shared_ptr<DeviceIdentityService> identityNamed(std::string name) {
    return std::make_shared<DeviceIdentityService>(std::make_shared<InMemorySecureStore>(),
                                                   [name = std::move(name)] { return name; });
}

// ---- the reference: EVP ChaCha20-Poly1305, one reused context per direction

struct EvpFigures {
    double seal = 0, open = 0; // MB/s
};

// One message either way; the tag is written (seal) or checked (open) at `tag`.
inline bool evpCrypt(EVP_CIPHER_CTX* c, bool seal, std::uint64_t counter, ByteView ad, ByteView in, std::uint8_t* out,
              std::uint8_t* tag) {
    std::array<std::uint8_t, 12> iv{};
    bigendian::store<std::uint64_t>(std::span(iv).last<8>(), counter);
    int n = 0;
    return EVP_CipherInit_ex(c, nullptr, nullptr, nullptr, iv.data(), seal ? 1 : 0) == 1 &&
           EVP_CipherUpdate(c, nullptr, &n, ad.data(), static_cast<int>(ad.size())) == 1 &&
           EVP_CipherUpdate(c, out, &n, in.data(), static_cast<int>(in.size())) == 1 &&
           (seal || EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_SET_TAG, 16, tag) == 1) &&
           EVP_CipherFinal_ex(c, out + n, &n) == 1 &&
           (!seal || EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1);
}

inline EvpFigures evpReference(std::size_t size) {
    struct Free {
        void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
    };
    const Bytes key = randomBytes(32), ad = randomBytes(32), plaintext = randomBytes(size);
    std::unique_ptr<EVP_CIPHER_CTX, Free> enc(EVP_CIPHER_CTX_new()), dec(EVP_CIPHER_CTX_new());
    if (!enc || !dec || EVP_CipherInit_ex(enc.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr, 1) != 1 ||
        EVP_CipherInit_ex(dec.get(), EVP_chacha20_poly1305(), nullptr, key.data(), nullptr, 0) != 1) {
        fail("EVP init");
    }
    constexpr std::size_t kBatch = 32;
    std::vector<Bytes> sealed(kBatch, Bytes(size + 16));
    Bytes out(size);
    std::vector<double> seals, opens;
    for (std::uint64_t slice = 0; slice < 7; ++slice) {
        for (const bool seal : {true, false}) {
            const auto start = Clock::now();
            for (std::size_t i = 0; i < kBatch; ++i) {
                std::uint8_t* tag = sealed[i].data() + size;
                if (seal ? !evpCrypt(enc.get(), true, slice * kBatch + i, ad, plaintext, sealed[i].data(), tag)
                         : !evpCrypt(dec.get(), false, slice * kBatch + i, ad, ByteView(sealed[i]).first(size),
                                     out.data(), tag)) {
                    fail("EVP ChaCha20-Poly1305");
                }
                gSink = gSink ^ out[0];
            }
            (seal ? seals : opens).push_back(megabytesPerSecond(double(kBatch * size), Clock::now() - start));
        }
    }
    return {median(seals), median(opens)};
}

} // namespace velorinth::bench
