#pragma once

// A host rig that streams: after each stream request, frames the real
// encoder makes from a moving gradient go to every viewer one interval apart
// (a keyframe first and whenever one is asked for), a bounded number of
// times. Encoding runs on the loop: the pictures are small.

#include "support/HostRig.hpp"
#include "transport/video/DesktopVideoEncoder.hpp"
#include "transport/video/VideoTestPictures.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include <memory>

namespace velorinth::testing {

struct SyntheticVideoSource {
    static constexpr int kFrames = 400; // after each request

    int width = 640;
    int height = 360;
    std::chrono::milliseconds interval{30};
    std::shared_ptr<DesktopVideoEncoder> encoder;
    bool pumping = false;
    bool keyframeWanted = true;
    int remaining = 0;
    int encoded = 0;

    // Replaces the rig's stream callbacks; the rig still records the requests.
    static std::shared_ptr<SyntheticVideoSource> install(HostRig& h) {
        auto source = std::make_shared<SyntheticVideoSource>();
        HostSessionServer::Callbacks callbacks = h.recordingCallbacks();
        std::weak_ptr<HostSessionServer> server = h.server;
        callbacks.onVideoStreamRequested = [&h, source, server](Uuid, Uuid, VideoStreamConfiguration configuration,
                                                                std::uint64_t generation) -> asio::awaitable<void> {
            h.streamRequests.emplace_back(configuration, generation);
            source->encoder = std::make_shared<DesktopVideoEncoder>(Uuid::random(), generation, configuration);
            source->keyframeWanted = true;
            source->remaining = kFrames;
            if (!source->pumping) {
                source->pumping = true;
                asio::co_spawn(h.io, pump(source, server), asio::detached);
            }
            co_return;
        };
        callbacks.onVideoKeyframeRequested = [&h, source](const Uuid&, const Uuid&, std::uint64_t generation) {
            h.keyframeRequests.push_back(generation);
            source->keyframeWanted = true;
        };
        h.call([&] { h.server->setCallbacks(std::move(callbacks)); });
        return source;
    }

    static asio::awaitable<void> pump(std::shared_ptr<SyntheticVideoSource> source,
                                      std::weak_ptr<HostSessionServer> server) {
        while (source->remaining-- > 0) {
            co_await sleepFor(source->interval);
            const auto live = server.lock();
            if (!live) break;
            const bool force = std::exchange(source->keyframeWanted, false);
            const int i = source->encoded++;
            auto frame = source->encoder->encode(*videotest::gradient(source->width, source->height, i),
                                                 videotest::at(1'000'000 + i * 33'333), MediaTime::invalid(),
                                                 std::nullopt, force);
            if (frame) live->distributeVideoFrame(std::make_shared<const EncodedVideoFrame>(std::move(*frame)));
        }
        source->pumping = false;
    }
};

} // namespace velorinth::testing
