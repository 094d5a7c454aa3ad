#pragma once

#include "core/Bytes.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"

#include <variant>

namespace velorinth {

// The opened plaintext of a video fragment, for the reassembler.
struct SessionVideoFragment {
    Bytes plaintext;
};

using OpenedSessionFrame = std::variant<SessionControlMessage, SessionVideoFragment>;

// What one frame received on a session carries, on either end: a sealed wire
// frame (control or video fragment) or an `encryptedSession` envelope (always
// control). Every frame is opened whatever its channel, so each one advances
// the expected sequence. Throws the codec's, the envelope's, the cipher's or
// the JSON decoder's error; never anything else.
OpenedSessionFrame openSessionFrame(ByteView frame, SessionCipher& cipher, ByteView transcriptHash);

} // namespace velorinth
