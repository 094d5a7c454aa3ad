#include "transport/wake/LocalWakeError.hpp"
#include "transport/wake/WakeMagicPacket.hpp"
#include "transport/wake/WakeUDPTarget.hpp"

#include "support/LoopRunner.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velorinth {
namespace {

using testing::thrown;

TEST(WakeMagicPacket, IsSixFFBytesThenTheAddressSixteenTimes) {
    // clang-format off
    const Bytes expected{
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
        0x00, 0x11, 0x22, 0x33, 0x44, 0x55,
    };
    // clang-format on
    ASSERT_EQ(expected.size(), 102u);
    EXPECT_EQ(WakeMagicPacket(MACAddress(std::string_view("00:11:22:33:44:55"))).payload(), expected);
    EXPECT_EQ(WakeMagicPacket(std::string_view("00-11-22-33-44-55")).payload(), expected);
}

TEST(WakeMagicPacket, RefusesADecodedAddressOfTheWrongLengthInsteadOfReadingPastIt) {
    for (const Bytes& bytes : {Bytes{1, 2, 3, 4, 5}, Bytes{}, Bytes(7, 2)}) {
        const auto error = thrown<WakeModelError>([&] { WakeMagicPacket packet(MACAddress::unvalidated(bytes)); });
        EXPECT_EQ(error.kind, WakeModelError::Case::invalidMACAddress);
    }
    EXPECT_EQ(thrown<WakeModelError>([] { WakeMagicPacket packet(std::string_view("01:00:5e:00:00:01")); }).kind,
              WakeModelError::Case::nonUnicastMACAddress);
}

TEST(WakeUDPTarget, ValidationTable) {
    struct Row {
        std::string address;
        std::uint16_t port;
        bool allowLoopback;
        std::string expected; // the stored address, or the full error text
    };
    const Row rows[] = {
        {"10.0.0.5", 0, false, "Invalid local wake destination: UDP wake port must be non-zero."},
        {"192.168.1.300", 9, false, "Invalid local wake destination: Malformed IPv4 destination."},
        {"10.0.0", 9, false, "Invalid local wake destination: Malformed IPv4 destination."},
        {"203.0.113.5", 9, false,
         "Invalid local wake destination: Destination 203.0.113.5 is outside private LAN / link-local ranges."},
        {"127.0.0.1", 9, false,
         "Invalid local wake destination: Destination 127.0.0.1 is outside private LAN / link-local ranges."},
        {"127.3.2.1", 9, true, "127.3.2.1"},
        {"8.8.8.8", 9, true,
         "Invalid local wake destination: Destination 8.8.8.8 is outside private LAN / link-local ranges."},
        {"0.0.0.0", 9, true,
         "Invalid local wake destination: Destination 0.0.0.0 is outside private LAN / link-local ranges."},
        {"255.255.255.255", 9, true,
         "Invalid local wake destination: Destination 255.255.255.255 is outside private LAN / link-local ranges."},
        {"169.254.10.20", 9, false, "169.254.10.20"},
        {"10.0.0.5", 9, false, "10.0.0.5"},
        {"172.31.255.255", 9, false, "172.31.255.255"},
        {"192.168.1.255", 7, false, "192.168.1.255"},
        {" 010.0.0.5", 9, false, "10.0.0.5"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        try {
            const auto target =
                WakeUDPTarget::validated(row.address, row.port, true, WakeInterfaceKind::wifi, row.allowLoopback);
            EXPECT_EQ(target, WakeUDPTarget(row.expected, row.port, true, WakeInterfaceKind::wifi));
        } catch (const LocalWakeError& error) {
            EXPECT_EQ(error.kind, LocalWakeError::Case::invalidDestination);
            EXPECT_EQ(error.what(), row.expected);
        }
    }
}

} // namespace
} // namespace velorinth
