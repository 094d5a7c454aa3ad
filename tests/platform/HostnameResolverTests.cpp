// The system host-name resolver: the conversion of an answer, and real
// lookups that glibc answers from /etc/hosts or refuses before any query.

#include "platform/HostnameResolverError.hpp"
#include "platform/SystemHostnameResolver.hpp"

#include "support/LoopRunner.hpp"

#include <asio/cancellation_signal.hpp>
#include <gtest/gtest.h>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

using Failure = HostnameResolverError;
using asio::ip::make_address;
using asio::ip::tcp;

TEST(SystemHostnameResolver, ConversionKeepsOrderDropsRepeatsAndScopes) {
    auto v6 = make_address("FE80::1%1").to_v6();
    const std::vector<tcp::endpoint> answer{
        {make_address("192.168.1.2"), 80}, {v6, 80},  {make_address("192.168.1.2"), 80}, // a repeat
        {make_address("2001:DB8::A"), 80}, {v6, 443}, {make_address("10.0.0.1"), 80},
    };
    EXPECT_EQ(SystemHostnameResolver::convert("mac", answer),
              (std::vector<ResolvedIPAddress>{{"192.168.1.2", false}, {"fe80::1", true}, {"2001:db8::a", true},
                                              {"10.0.0.1", false}}));
    EXPECT_EQ(thrown<Failure>([] { SystemHostnameResolver::convert("mac", {}); }),
              Failure::dnsResolutionFailed("mac", "No IPv4 or IPv6 address records returned."));
}

TEST(SystemHostnameResolver, LookupsThatNeverLeaveTheMachine) {
    LoopRunner loop;
    SystemHostnameResolver resolver;
    EXPECT_EQ(loop.run(resolver.resolve("127.0.0.1", 51891)), (std::vector<ResolvedIPAddress>{{"127.0.0.1", false}}));
    EXPECT_EQ(loop.run(resolver.resolve("FE80::1", 51891)), (std::vector<ResolvedIPAddress>{{"fe80::1", true}}));
    // The port only forms the service text.
    EXPECT_EQ(loop.run(resolver.resolve("127.0.0.1", 0)), (std::vector<ResolvedIPAddress>{{"127.0.0.1", false}}));

    const std::vector<ResolvedIPAddress> local = loop.run(resolver.resolve("localhost", 51891));
    ASSERT_FALSE(local.empty());
    for (const ResolvedIPAddress& address : local) {
        EXPECT_TRUE(address.address == "127.0.0.1" || address.address == "::1") << address.address; // kept
    }
    EXPECT_EQ(loop.run(resolver.resolve("localhost", 0)), local);

    const std::string tooLong = std::string(64, 'a') + ".example";
    EXPECT_EQ(expectFailure<Failure>(loop.run(outcome(resolver.resolve(tooLong, 51891)))),
              Failure::dnsResolutionFailed(tooLong, "Name or service not known"));
}

} // namespace
