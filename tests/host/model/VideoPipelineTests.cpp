// The encoder's own thread: the newest sample wins and the one it replaced is
// counted; a stop waits for the encode under way and leaves no thread behind,
// alone and as the model's pipeline stop.

#include "host/model/EncoderThread.hpp"
#include "host/model/VideoPipeline.hpp"
#include "support/HostModelRig.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

using namespace velorinth;
using namespace velorinth::testing;

namespace {

// A one-way door between threads; a wait gives up after 10 s and says so.
class Latch {
public:
    void open() {
        std::lock_guard guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Threads of this process with the encoder thread's name.
int encoderThreads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == EncoderThread::kThreadName) ++count;
    }
    return count;
}

// Records the samples it encodes by their presentation time; its first
// encode can be held open.
class RecordingEncoder final : public VideoEncoderPort {
public:
    Latch entered, release;
    bool holdsFirst = true;

    std::vector<std::int64_t> encoded() {
        std::lock_guard guard(mutex_);
        return encoded_;
    }

    Uuid streamID() const override { return {}; }
    void updateConfiguration(const VideoStreamConfiguration&, std::optional<std::uint64_t>) override {}
    void requestKeyframe() override {}
    void prepare(int, int) override {}
    void invalidate() override {}
    Statistics statistics() override { return {}; }
    std::optional<EncodedVideoFrame> encode(const VideoSampleBuffer& sample, SourceSize) override {
        bool first = false;
        {
            std::lock_guard guard(mutex_);
            first = encoded_.empty();
        }
        if (first && holdsFirst) {
            entered.open();
            if (!release.wait()) ADD_FAILURE() << "the held encode was never released";
        }
        std::lock_guard guard(mutex_);
        encoded_.push_back(sample.presentationTime.value);
        EncodedVideoFrame frame;
        frame.sequence = static_cast<std::uint64_t>(sample.presentationTime.value);
        return frame;
    }

private:
    std::mutex mutex_;
    std::vector<std::int64_t> encoded_;
};

struct EncoderThreadRig : LoopRunner {
    std::shared_ptr<RecordingEncoder> encoder = std::make_shared<RecordingEncoder>();
    std::shared_ptr<ActiveEncoderBox> box = std::make_shared<ActiveEncoderBox>();
    EncoderThread::FrameChannel channel{io.get_executor()};
    std::shared_ptr<EncoderThread::FrameChannel::Producer> frames = channel.producer();

    EncoderThreadRig() {
        box->prepareEncoder(VideoStreamConfiguration{}, 1,
                            [this](const Uuid&, std::uint64_t, const VideoStreamConfiguration&) { return encoder; });
    }

    // A sample named by its presentation time, and a watch on its picture.
    static std::pair<VideoSampleBuffer, std::weak_ptr<const PixelBuffer>> sample(std::int64_t name) {
        VideoSampleBuffer sample;
        auto picture = std::make_shared<const PixelBuffer>(64, 64);
        std::weak_ptr<const PixelBuffer> watch = picture;
        sample.image = std::move(picture);
        sample.presentationTime = MediaTime::make(name, 1000);
        return {std::move(sample), std::move(watch)};
    }

    // Every frame the stream gave, by sequence, once its producer has let go.
    std::vector<std::uint64_t> streamed() {
        frames.reset();
        std::vector<std::uint64_t> sequences;
        run([](EncoderThread::FrameChannel::Consumer consumer,
               std::vector<std::uint64_t>& out) -> asio::awaitable<void> {
            while (auto frame = co_await consumer.next()) out.push_back(frame->sequence);
        }(channel.consumer(), sequences));
        return sequences;
    }
};

} // namespace

TEST(EncoderThread, TakesTheNewestSampleAndCountsTheOneItReplaced) {
    EncoderThreadRig r;
    EncoderThread thread(r.box);
    thread.offer(EncoderThreadRig::sample(1).first, {1280, 720}, r.frames);
    ASSERT_TRUE(r.encoder->entered.wait()); // 1 is being encoded
    const auto [second, secondPicture] = EncoderThreadRig::sample(2);
    thread.offer(second, {1280, 720}, r.frames);
    thread.offer(EncoderThreadRig::sample(3).first, {1280, 720}, r.frames); // replaces 2
    EXPECT_EQ(thread.droppedSamples(), 1u);
    EXPECT_EQ(secondPicture.use_count(), 1); // let go at once
    r.encoder->release.open();
    r.until([&] { return r.encoder->encoded().size() == 2; });
    thread.stop();
    EXPECT_EQ(r.encoder->encoded(), (std::vector<std::int64_t>{1, 3}));
    EXPECT_EQ(r.streamed(), (std::vector<std::uint64_t>{1, 3}));
    EXPECT_EQ(thread.droppedSamples(), 1u);
}

TEST(EncoderThread, AStopWaitsForTheEncodeUnderWayDropsTheWaitingSampleAndLeavesNoThread) {
    EncoderThreadRig r;
    auto thread = std::make_unique<EncoderThread>(r.box);
    thread->offer(EncoderThreadRig::sample(1).first, {1280, 720}, r.frames);
    ASSERT_TRUE(r.encoder->entered.wait());
    auto [waiting, waitingPicture] = EncoderThreadRig::sample(2);
    thread->offer(waiting, {1280, 720}, r.frames);
    waiting.image.reset();

    std::atomic<bool> stopped{false}, encodeEndedFirst{false};
    std::jthread stopper([&] {
        thread->stop();
        encodeEndedFirst = r.encoder->encoded().size() == 1;
        stopped = true;
    });
    // The stop lets the waiting sample go at once, then waits for the encode.
    r.until([&] { return waitingPicture.expired(); });
    std::this_thread::sleep_for(20ms); // room for a stop that would not wait
    EXPECT_FALSE(stopped) << "the stop returned while an encode was under way";
    r.encoder->release.open();
    stopper.join();
    EXPECT_TRUE(encodeEndedFirst);
    EXPECT_EQ(encoderThreads(), 0);
    EXPECT_EQ(r.encoder->encoded(), (std::vector<std::int64_t>{1}));
    EXPECT_EQ(thread->droppedSamples(), 0u); // a stop's drop is not a replacement

    // Offers after the stop are let go at once.
    const auto [late, latePicture] = EncoderThreadRig::sample(3);
    thread->offer(late, {1280, 720}, r.frames);
    EXPECT_EQ(latePicture.use_count(), 1);
    thread.reset();
    EXPECT_EQ(r.streamed(), (std::vector<std::uint64_t>{1}));
}

// The memory a stream's threads freed goes back once they have been joined,
// off the UI thread: one release for the streams stopped before the join.
TEST(VideoPipeline, FreedMemoryGoesBackOnceTheStoppedThreadsAreJoined) {
    EncoderThreadRig r;
    r.encoder->holdsFirst = false;
    std::atomic<int> releases{0};
    std::atomic<bool> onLoop{false};
    const std::thread::id loopThread = std::this_thread::get_id();
    VideoPipeline pipeline([&](const Uuid&, std::uint64_t, const VideoStreamConfiguration&) { return r.encoder; },
                           r.io.get_executor(), 1ms, [&] {
                               if (std::this_thread::get_id() == loopThread) onLoop = true;
                               ++releases;
                           });
    // The loop may have nothing to do meanwhile: the wait is the test's own.
    const auto runFor = [&](std::chrono::milliseconds duration) {
        for (const auto end = std::chrono::steady_clock::now() + duration; std::chrono::steady_clock::now() < end;) {
            r.settle(1ms);
            std::this_thread::sleep_for(1ms);
        }
    };
    for (std::uint64_t stream = 1; stream <= 3; ++stream) {
        pipeline.prepareEncoder(VideoStreamConfiguration{}, stream);
        const auto feed = pipeline.sampleHandler(r.frames);
        feed(EncoderThreadRig::sample(static_cast<std::int64_t>(stream)).first, {1280, 720});
        pipeline.stop();
    }
    runFor(50ms);
    EXPECT_EQ(releases, 0) << "released before the stream's threads were joined";
    r.run(pipeline.joinStoppedThreads());
    EXPECT_EQ(encoderThreads(), 0);
    r.until([&] { return releases > 0; });
    runFor(50ms);
    EXPECT_EQ(releases, 1);
    EXPECT_FALSE(onLoop);
}

// A stream's largest blocks (capture buffers, x264's pictures) are freed
// when it stops; later large blocks must still be mappings of their own,
// unmapped as they are freed, not heap that stays resident.
TEST(VideoPipeline, LargeBlocksStayMappedAfterAStreamsLargestIsFreed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator stands in for glibc's";
#endif
    EncoderThreadRig r;
    const VideoPipeline pipeline([&](const Uuid&, std::uint64_t, const VideoStreamConfiguration&) { return r.encoder; },
                                 r.io.get_executor());
    const auto allocate = [](std::size_t size) {
        void* volatile block = std::malloc(size);
        static_cast<char*>(block)[size - 1] = 1;
        return block;
    };
    std::free(allocate(8 << 20));
    const std::size_t mappedBefore = mallinfo2().hblks;
    void* volatile block = allocate(1 << 20);
    EXPECT_EQ(mallinfo2().hblks, mappedBefore + 1);
    std::free(block);
}

TEST(VideoPipeline, TheModelsStopJoinsTheEncoderThreadAfterTheEncodeUnderWay) {
    HostModelRig h;
    HostModel& model = h.started();
    std::optional<VideoStreamStopReason> reason{VideoStreamStopReason::hostStopped};
    h.run([](HostModel& m, std::optional<VideoStreamStopReason>& out) -> asio::awaitable<void> {
        out = co_await m.handleVideoStreamRequest(
            VideoStreamConfiguration::clamped(Capability::h264, 1280, 720, 30, 2'000'000, 60, 1'000'000, 16'384), 1);
    }(model, reason));
    ASSERT_EQ(reason, std::nullopt);
    Latch entered, release;
    {
        std::lock_guard guard(h.encoders->front()->mutex);
        h.encoders->front()->whileEncoding = [&] {
            entered.open();
            if (!release.wait()) ADD_FAILURE() << "the held encode was never released";
        };
    }
    std::jthread capture([&] { h.capture->deliverSample(); });
    ASSERT_TRUE(entered.wait());
    EXPECT_EQ(encoderThreads(), 1);

    auto stopping = h.spawn(model.stopVideoStream(VideoStreamState::stopped()));
    h.settle(20ms);
    EXPECT_NE(stopping.wait_for(0s), std::future_status::ready) << "the stop ended while an encode was under way";
    release.open();
    h.wait(stopping);
    capture.join();
    EXPECT_EQ(encoderThreads(), 0);
    EXPECT_EQ(model.hostStreamState.get(), VideoStreamState::stopped());
}
