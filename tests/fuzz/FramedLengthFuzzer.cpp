// Reads a byte stream as the framed connection's reader does: a 4-byte
// big-endian length, refused when 0 or above the maximum (the stream is then
// out of step and reading stops), else that many bytes of body, each read as
// a handshake envelope as the handshake's receive does. The rule is the
// sender's too: a header read back is the one the sender writes for that
// length. Only NetworkConnectionError may refuse; anything else is a bug.
#include "FuzzSupport.hpp"
#include "transport/security/HandshakeEnvelopeHelpers.hpp"
#include "transport/security/NetworkFramedConnection.hpp"

#include <algorithm>
#include <limits>

using namespace velorinth;
using namespace velorinth::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Connection = NetworkFramedConnection;
    using Case = NetworkConnectionError::Case;
    static constexpr std::size_t kMaxima[] = {1, 5, 300, 65'536, std::numeric_limits<std::size_t>::max()};
    FuzzedDataProvider input(data, size);
    const std::size_t maximum = input.PickValueInArray(kMaxima);
    const Bytes stream = input.ConsumeRemainingBytes<std::uint8_t>();

    ByteView rest(stream);
    while (rest.size() >= Connection::kHeaderSize) {
        const auto header = rest.first<Connection::kHeaderSize>();
        const std::uint32_t length = Connection::frameLength(header);
        require(std::ranges::equal(Connection::frameHeader(length), header));
        const auto refused = Connection::refusedFrameLength(length, maximum);
        require(refused.has_value() == (length == 0 || length > maximum));
        if (refused) {
            require(*refused == (length == 0 ? Case::malformedFrame : Case::oversizedFrame));
            return 0;
        }
        rest = rest.subspan(Connection::kHeaderSize);
        if (rest.size() < length) return 0; // the peer closed inside the frame
        HandshakeEnvelope envelope;
        if (accepts<NetworkConnectionError>([&] { envelope = decodeHandshakeEnvelopeFrame(rest.first(length)); })) {
            requireRoundTrip(envelope);
        }
        rest = rest.subspan(length);
    }
    return 0;
}
