#pragma once

#include "core/Bytes.hpp"
#include "transport/security/SessionCipher.hpp"
#include "transport/security/SessionControlMessage.hpp"

#include <optional>

namespace velorinth {

// The control message in one frame received on a session: a sealed wire
// frame (a video fragment, opened and dropped, gives none) or an
// `encryptedSession` envelope. Every wire frame is opened whatever its
// channel, so each one advances the expected sequence. Throws the codec's,
// the envelope's, the cipher's or the JSON decoder's error; never anything else.
std::optional<SessionControlMessage> openSessionFrame(ByteView frame, SessionCipher& cipher, ByteView transcriptHash);

} // namespace velorinth
