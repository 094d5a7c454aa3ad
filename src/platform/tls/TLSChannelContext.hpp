#pragma once

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"

namespace velorinth {

// What one verified TLS 1.3 session tells about its peer, and the secret that
// binds the application handshake to this very session.
struct TLSChannelContext {
    Bytes peerSigningPublicKey;     // 65-byte X9.63 key of the peer's certificate
    DeviceFingerprint peerFingerprint;
    Bytes exporterChannelBinding;   // 32 bytes, RFC 9266 "tls-exporter"

    bool operator==(const TLSChannelContext&) const = default;
};

} // namespace velorinth
