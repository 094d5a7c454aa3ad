#include "core/Bytes.hpp"
#include "core/Date.hpp"
#include "core/EventLoop.hpp"
#include "core/Uuid.hpp"

#include <asio/post.hpp>
#include <gtest/gtest.h>

#include <future>

using namespace velorinth;

TEST(Base64, RoundTripsExactLengths) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 31u, 32u, 33u}) {
        Bytes data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 1);
        auto text = base64Encode(data);
        EXPECT_EQ(text.size() % 4, 0u);
        auto back = base64Decode(text);
        ASSERT_TRUE(back) << n;
        EXPECT_EQ(*back, data) << n;
    }
}

TEST(Base64, KnownVectors) {
    // RFC 4648 section 10.
    EXPECT_EQ(base64Encode(bytesOf("f")), "Zg==");
    EXPECT_EQ(base64Encode(bytesOf("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(bytesOf("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Decode("Zm9vYg=="), bytesOf("foob"));
}

TEST(Base64, RefusesEverythingNotStrict) {
    for (const char* bad : {"Zg", "Zg=", "Zm9vY", " Zg==", "Zg==\n", "Zm 9v", "Z===", "====", "Zg=a", "=Zm8",
                            "Zm8=Zm8=", "Zm9v\tYmFy", "Zm-_", "Zm9\xC3\xA9"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
}

TEST(Hex, UpperCaseAndDecoding) {
    EXPECT_EQ(hexEncodedString(Bytes{0x00, 0xAB, 0x0F, 0xFF}), "00AB0FFF");
    EXPECT_EQ(hexDecode("00ab0Fff"), (Bytes{0x00, 0xAB, 0x0F, 0xFF}));
    EXPECT_FALSE(hexDecode("0"));
    EXPECT_FALSE(hexDecode("0g"));
}

TEST(SecretBytes, ComparesInConstantTimeAndMoves) {
    SecretBytes a(Bytes{1, 2, 3});
    SecretBytes b(Bytes{1, 2, 3});
    SecretBytes c(Bytes{1, 2, 4});
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == c);
    SecretBytes moved(std::move(a));
    EXPECT_EQ(moved.size(), 3u);
    EXPECT_TRUE(a.empty()); // NOLINT(bugprone-use-after-move): the source is left empty on purpose
}

TEST(Uuid, TextFormsAndParsing) {
    auto id = Uuid::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(id->lowercaseString(), "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    EXPECT_EQ(Uuid::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), id);
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                            "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                            "E621E1F8_C36C-495A-93FC-0C247A3E6E5F"}) {
        EXPECT_FALSE(Uuid::fromString(bad)) << bad;
    }
    auto r = Uuid::random();
    EXPECT_EQ(r.bytes()[6] >> 4, 4);
    EXPECT_NE(r, Uuid::random());
}

TEST(Date, ReferenceEpochAndUnixSeconds) {
    EXPECT_EQ(Date::fromUnixSeconds(978307200.0).timeIntervalSinceReferenceDate(), 0.0);
    Date d(786316800.5);
    EXPECT_EQ(d.timeIntervalSince1970(), 1764624000.5);
    EXPECT_EQ(d.unixSecondsFloor(), 1764624000);
    EXPECT_EQ(Date(-0.5).unixSecondsFloor(), 978307199);
    EXPECT_LT(Date(1.0), Date(2.0));
}

TEST(EventLoop, RunsHandlersOnItsThreadAndStops) {
    EventLoop loop;
    loop.start();
    loop.start(); // idempotent
    std::promise<bool> onLoop;
    asio::post(loop.executor(), [&] { onLoop.set_value(loop.runningInThisThread()); });
    EXPECT_TRUE(onLoop.get_future().get());
    EXPECT_FALSE(loop.runningInThisThread());

    // An escaped exception from one handler does not stop the loop.
    asio::post(loop.executor(), [] { throw std::runtime_error("escaped"); });
    std::promise<void> after;
    asio::post(loop.executor(), [&] { after.set_value(); });
    after.get_future().get();
    loop.stop();
    EXPECT_FALSE(loop.isRunning());
}
