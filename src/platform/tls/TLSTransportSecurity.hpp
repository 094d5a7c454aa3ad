#pragma once

#include "core/Bytes.hpp"
#include "core/IdentityModels.hpp"
#include "platform/tls/TLSChannelContext.hpp"
#include "platform/tls/TLSDeviceIdentity.hpp"
#include "platform/tls/TLSVerificationBox.hpp"

#include <asio/ssl/context.hpp>
#include <openssl/types.h>

#include <memory>
#include <optional>
#include <string_view>

namespace velorinth {

enum class TLSRole { client, server };

// The TLS policy between devices: TLS 1.3 only, both sides present a
// self-signed device certificate, exactly one application protocol, nothing
// resumable. Trust comes from the pairing, not from a CA: the certificate only
// has to be bound to its own key (and to a pinned fingerprint when one is known).
class TLSTransportSecurity {
public:
    // RFC 9266 "tls-exporter" channel binding.
    static constexpr std::string_view kExporterLabel = "EXPORTER-Channel-Binding";
    static constexpr std::size_t kExporterLength = 32;

    // True when `leaf` is signed ecdsa-with-SHA256 by its own P-256 key and,
    // with a pin, when the SHA-256 of its 65-byte key equals the pin. Otherwise
    // false, and the first reason goes into `box`. No side effect but the box,
    // so it may run any number of times. Validity dates are not looked at.
    static bool verifyPeer(X509* leaf, const std::optional<DeviceFingerprint>& pin, TLSVerificationBox* box);

    // A context for one role presenting `identity`, offering (client) or
    // requiring (server) `applicationProtocol`, verifying the peer with
    // verifyPeer(pin, box). The box may be null (servers pass none).
    // Throws TLSSecurityError(identityCreationFailed).
    static std::shared_ptr<asio::ssl::context> makeContext(TLSRole role, const TLSDeviceIdentity& identity,
                                                           std::string_view applicationProtocol,
                                                           std::optional<DeviceFingerprint> pin = std::nullopt,
                                                           std::shared_ptr<TLSVerificationBox> box = nullptr);

    // OpenSSL lets a handshake finish without ALPN (a server whose client
    // offered none, a client whose server selected none): true only when the
    // context's one protocol was selected. False for a context not made above.
    static bool hasNegotiatedApplicationProtocol(SSL* ssl);

    // The 32-byte exporter value. Throws TLSSecurityError(exporterFailed).
    static Bytes exportChannelBinding(SSL* ssl);

    // Reads the verified peer and the channel binding of a finished handshake.
    // Throws TLSSecurityError: missingTLSHandshakeMetadata, unsupportedTLSVersion,
    // missingPeerCertificate, invalidCertificateBinding or exporterFailed.
    static TLSChannelContext captureChannelContext(SSL* ssl);
};

} // namespace velorinth
