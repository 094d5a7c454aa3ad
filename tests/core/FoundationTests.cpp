#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/EventLoop.hpp"
#include "core/Uuid.hpp"

#include <asio/post.hpp>
#include <gtest/gtest.h>

#include <future>
#include <limits>

using namespace velorinth;

TEST(Base64, RoundTripsKnownVectorsAndRefusesEverythingNotStrict) {
    for (std::size_t n : {0u, 1u, 2u, 31u, 32u}) {
        Bytes data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 1);
        auto back = base64Decode(base64Encode(data));
        ASSERT_TRUE(back) << n;
        EXPECT_EQ(*back, data) << n;
    }
    // RFC 4648 section 10.
    EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Decode("Zm9vYg=="), bytesOf("foob"));
    for (const char* bad : {"Zg", "Zg=", " Zg==", "Zg==\n", "Zm 9v", "Z===", "====", "Zg=a", "=Zm8", "Zm8=Zm8=",
                            "Zm-_", "Zm9\xC3\xA9"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
}

TEST(Uuid, TextFormsAndParsing) {
    auto id = Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(id->lowercaseString(), "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_FALSE(Uuid::fromString(bad)) << bad;
    }
    EXPECT_EQ(Uuid::random().bytes()[6] >> 4, 4);
}

TEST(Date, ReferenceEpochAndUnixSeconds) {
    EXPECT_EQ(Date::fromUnixSeconds(978307200.0).timeIntervalSinceReferenceDate(), 0.0);
    Date d(786316800.5);
    EXPECT_EQ(d.timeIntervalSince1970(), 1764624000.5);
    EXPECT_EQ(d.unixSecondsFloor(), 1764624000);
    EXPECT_EQ(Date(-0.5).unixSecondsFloor(), 978307199);
}

TEST(Date, UnixSecondsFloorIsTotal) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(Date(std::numeric_limits<double>::quiet_NaN()).unixSecondsFloor(), kMin);
    EXPECT_EQ(Date(kInfinity).unixSecondsFloor(), kMax);
    EXPECT_EQ(Date(-kInfinity).unixSecondsFloor(), kMin);
    EXPECT_EQ(Date(1e300).unixSecondsFloor(), kMax);
    EXPECT_EQ(Date(-1e300).unixSecondsFloor(), kMin);
    EXPECT_EQ(Date(9.3e18).unixSecondsFloor(), kMax); // just past 2^63
    EXPECT_EQ(Date(-9.3e18).unixSecondsFloor(), kMin);
    EXPECT_EQ(Date::fromUnixSeconds(576460752303423488.0).unixSecondsFloor(), 576460752303423488); // 2^59, exact
}

TEST(EventLoop, RunsHandlersOnItsThreadAndSurvivesEscapedExceptions) {
    EventLoop loop;
    loop.start();
    loop.start(); // idempotent
    std::promise<bool> onLoop;
    asio::post(loop.executor(), [&] { onLoop.set_value(loop.runningInThisThread()); });
    EXPECT_TRUE(onLoop.get_future().get());
    EXPECT_FALSE(loop.runningInThisThread());

    testing::internal::CaptureStderr();
    asio::post(loop.executor(), [] { throw std::runtime_error("escaped"); });
    std::promise<void> after;
    asio::post(loop.executor(), [&] { after.set_value(); });
    after.get_future().get();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("escaped"), std::string::npos);
    loop.stop();
    EXPECT_FALSE(loop.isRunning());
}

TEST(EventLoop, StopFromItsOwnThreadLeavesTheJoinToTheOwner) {
    for (int round = 0; round < 20; ++round) {
        auto loop = std::make_unique<EventLoop>();
        loop->start();
        std::promise<void> asked;
        asio::post(loop->executor(), [&] {
            loop->stop();
            asked.set_value();
        });
        asked.get_future().get();
        loop.reset(); // joins the thread still unwinding run()
    }
}
