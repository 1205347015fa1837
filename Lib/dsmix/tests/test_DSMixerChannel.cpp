// Sound channels played through the real mixer into a WAV file, compared with their sources.

#include "test_DSMixerSupport.h"

#include <atomic>
#include <sys/resource.h>

using namespace dsmixer_test;
using soundgen::TFileKind;

namespace {

struct TEndRecord {
    int Count = 0;
    std::int64_t AtMs = -1;
    std::size_t AtOutputFrame = 0;  // the output's length when the notice ran
    DWORD ThreadId = 0;
    bool PlayingInside = true;
};

// The frames of the source as the output must carry them.
std::vector<std::int16_t> Expected(const soundgen::TSound& sound) {
    std::vector<std::int16_t> samples;
    for (float s : sound.Samples) samples.push_back(soundgen::ToInt16(s));
    return samples;
}

bool FrameIs(const TDSoundWavFile& wav, std::size_t frame, const std::vector<std::int16_t>& source, std::size_t index) {
    return wav.Sample16(frame, 0) == source[2 * index] && wav.Sample16(frame, 1) == source[2 * index + 1];
}

bool Silent(const TDSoundWavFile& wav, std::size_t frame) { return wav.Sample16(frame, 0) == 0 && wav.Sample16(frame, 1) == 0; }

// Every output frame at which the source's frame index begins.
std::vector<std::size_t> Occurrences(const TDSoundWavFile& wav, const std::vector<std::int16_t>& source, std::size_t index) {
    std::vector<std::size_t> found;
    for (std::size_t f = 0; f < wav.Frames(); ++f)
        if (FrameIs(wav, f, source, index)) found.push_back(f);
    return found;
}

// How many frames from start on follow the source from sourceIndex, wrapping when looping.
std::size_t MatchingRun(const TDSoundWavFile& wav, std::size_t start, const std::vector<std::int16_t>& source,
                        std::size_t sourceIndex, bool loop) {
    const std::size_t sourceFrames = source.size() / 2;
    std::size_t run = 0;
    while (start + run < wav.Frames()) {
        std::size_t index = sourceIndex + run;
        if (index >= sourceFrames) {
            if (!loop) break;
            index %= sourceFrames;
        }
        if (!FrameIs(wav, start + run, source, index)) break;
        ++run;
    }
    return run;
}

double Rms(const TDSoundWavFile& wav, std::size_t first, std::size_t count, int channel) {
    double sum = 0;
    for (std::size_t f = first; f < first + count; ++f) sum += double(wav.Sample16(f, channel)) * wav.Sample16(f, channel);
    return std::sqrt(sum / double(count));
}

double Frequency(const TDSoundWavFile& wav, std::size_t first, std::size_t count, int channel) {
    int crossings = 0;
    for (std::size_t f = first + 1; f < first + count; ++f)
        if (wav.Sample16(f - 1, channel) < 0 && wav.Sample16(f, channel) >= 0) ++crossings;
    return crossings * double(wav.Rate) / double(count);
}

std::size_t FirstSound(const TDSoundWavFile& wav) {
    std::size_t f = 0;
    while (f < wav.Frames() && Silent(wav, f)) ++f;
    return f;
}

class TChannelTest : public TMixerTest {
protected:
    void SetUp() override {
        TMixerTest::SetUp();
        FMixer = std::make_unique<TDSMixer>(nullptr);
    }
    void TearDown() override {
        FMixer.reset();
        TMixerTest::TearDown();
    }

    std::unique_ptr<TDSMixerChannel> Channel(const std::string& file) {
        auto channel = std::make_unique<TDSMixerChannel>(FMixer.get());
        channel->LoadFromFile(file);
        return channel;
    }

    void RecordEnd(TDSMixerChannel& channel, TEndRecord& record, TClock::time_point start) {
        channel.OnEnd = [this, &record, &channel, start](TObject* sender) {
            EXPECT_EQ(sender, &channel);
            ++record.Count;
            record.AtMs = MsSince(start);
            record.AtOutputFrame = ReadDSoundWavLength(FWavPath).Frames;
            record.ThreadId = GetCurrentThreadId();
            record.PlayingInside = channel.Playing();
        };
    }

    // A sound that does not loop, played until its end notice.
    struct TOneShot {
        std::vector<std::int16_t> Source;
        std::unique_ptr<TDSMixerChannel> Channel;
        TEndRecord Ended;
        bool EndedInTime = false;
    };
    std::unique_ptr<TOneShot> PlayToTheEnd(const std::string& name, const soundgen::TSound& sound) {
        auto shot = std::make_unique<TOneShot>();
        shot->Source = Expected(sound);
        shot->Channel = Channel(Write(name, sound));
        RecordEnd(*shot->Channel, shot->Ended, TClock::now());
        shot->Channel->Play();
        EXPECT_TRUE(shot->Channel->Playing());
        shot->EndedInTime = PumpUntil([&] { return shot->Ended.Count > 0; }, kHangMs);
        return shot;
    }

    std::unique_ptr<TDSMixer> FMixer;
};

}  // namespace

TEST_F(TChannelTest, FileLongerThanTheBufferPlaysWholeAndEndsAfterItsLastSample) {
    // The tick count wraps a second into the sound; the refills must not notice.
    Kernel32SetTickCountOffset(0u - GetTickCount() - 1000u);
    const auto shot = PlayToTheEnd("long.wav", Ramp(4.5));
    ASSERT_TRUE(shot->EndedInTime) << "the end notice hung";
    const TEndRecord& ended = shot->Ended;
    const std::vector<std::int16_t>& source = shot->Source;
    EXPECT_EQ(ended.ThreadId, GetCurrentThreadId());
    EXPECT_FALSE(ended.PlayingInside);
    PumpFor(100);
    EXPECT_EQ(ended.Count, 1);

    const TDSoundWavFile wav = Output();
    const std::vector<std::size_t> starts = Occurrences(wav, source, 0);
    ASSERT_EQ(starts.size(), 1u);
    const std::size_t sourceFrames = source.size() / 2;
    EXPECT_EQ(MatchingRun(wav, starts[0], source, 0, false), sourceFrames) << "a gap or a repeat";
    for (std::size_t f = starts[0] + sourceFrames; f < wav.Frames(); ++f) ASSERT_TRUE(Silent(wav, f)) << "frame " << f;

    // The output writes what it has mixed a tenth of its period later: a chunk of slack.
    EXPECT_GE(ended.AtOutputFrame + wav.Rate / 50, starts[0] + sourceFrames) << "the notice came before the last sample played";
}

TEST_F(TChannelTest, LoopingFileLoopsWithoutGap) {
    const soundgen::TSound sound = Ramp(0.5);
    const std::vector<std::int16_t> source = Expected(sound);
    auto channel = Channel(Write("loop.wav", sound));
    channel->SetLooping(true);
    TEndRecord ended;
    RecordEnd(*channel, ended, TClock::now());
    channel->Play();
    PumpForOutputTime(700);
    // Looping may be set while the refills read it; the same value changes nothing.
    channel->SetLooping(true);
    PumpForOutputTime(700);
    EXPECT_TRUE(channel->Playing());
    const TDSoundWavFile wav = Output();
    channel->Stop();
    const std::size_t first = FirstSound(wav);
    ASSERT_LT(first, wav.Frames());
    const std::size_t run = MatchingRun(wav, first, source, 0, true);
    EXPECT_EQ(first + run, wav.Frames()) << "the loop broke at output frame " << first + run;
    EXPECT_GT(run, 2 * source.size() / 2) << "at least two wraps";
    EXPECT_EQ(ended.Count, 0);
}

TEST_F(TChannelTest, ShortSoundPlaysOnceAndEndsAboutABufferLater) {
    const auto shot = PlayToTheEnd("short.wav", Ramp(0.3));
    ASSERT_TRUE(shot->EndedInTime) << "the end notice hung";
    const TEndRecord& ended = shot->Ended;
    const std::vector<std::int16_t>& source = shot->Source;
    TDSMixerChannel* channel = shot->Channel.get();
    EXPECT_GE(ended.AtMs, 3900);
    EXPECT_EQ(ended.ThreadId, GetCurrentThreadId());
    EXPECT_FALSE(channel->Playing());

    const TDSoundWavFile wav = Output();
    const std::vector<std::size_t> starts = Occurrences(wav, source, 0);
    ASSERT_EQ(starts.size(), 1u) << "heard once";
    EXPECT_EQ(MatchingRun(wav, starts[0], source, 0, false), source.size() / 2);
    for (std::size_t f = starts[0] + source.size() / 2; f < wav.Frames(); ++f) ASSERT_TRUE(Silent(wav, f)) << f;

    // OnEnd may start the sound again: the channel has stopped and rewound.
    channel->Play();
    EXPECT_TRUE(channel->Playing());
}

TEST_F(TChannelTest, StopThenPlayRestartsWhilePlayOnAPlayingChannelDoesNothing) {
    const soundgen::TSound sound = Ramp(1.0);
    const std::vector<std::int16_t> source = Expected(sound);
    auto channel = Channel(Write("restart.wav", sound));
    channel->SetLooping(true);
    channel->Play();
    PumpForOutputTime(250);
    channel->Play();
    const std::size_t secondPlay = ReadDSoundWavLength(FWavPath).Frames;
    PumpForOutputTime(250);
    channel->Stop();
    EXPECT_FALSE(channel->Playing());
    const std::size_t stopped = ReadDSoundWavLength(FWavPath).Frames;
    PumpForOutputTime(100);
    channel->Play();
    PumpForOutputTime(300);
    channel->Stop();
    const TDSoundWavFile wav = Output();
    // The loop repeats its first frame; each play's run ends where its sound does.
    const std::vector<std::size_t> starts = Occurrences(wav, source, 0);
    ASSERT_FALSE(starts.empty());
    const std::size_t firstRun = MatchingRun(wav, starts[0], source, 0, true);
    EXPECT_GE(starts[0] + firstRun, secondPlay + wav.Rate / 10) << "the second Play restarted it";
    EXPECT_LE(starts[0] + firstRun, stopped + wav.Rate / 10) << "Stop did not stop it";
    const auto restart = std::find_if(starts.begin(), starts.end(), [&](std::size_t f) { return f >= starts[0] + firstRun; });
    ASSERT_NE(restart, starts.end()) << "the Play after Stop did not start it from the beginning";
    EXPECT_GE(MatchingRun(wav, *restart, source, 0, true), wav.Rate * 2 / 10);
}

TEST_F(TChannelTest, VolumeMinimumSilencesAndZeroRestores) {
    auto channel = Channel(Write("tone.wav", Sine(1.0, 44100, 2, 500, 0.4)));
    channel->SetLooping(true);
    channel->Play();
    PumpForOutputTime(300);
    channel->SetVolume(-10000);
    EXPECT_EQ(channel->Volume(), -10000);
    PumpForOutputTime(400);
    channel->SetVolume(0);
    PumpForOutputTime(300);
    const TDSoundWavFile wav = Output();
    channel->Stop();
    // Windows of 20 ms: loud, then a silent stretch of at least 300 ms, then loud again.
    const std::size_t window = wav.Rate / 50;
    std::string pattern;
    for (std::size_t f = FirstSound(wav); f + window <= wav.Frames(); f += window)
        pattern += Rms(wav, f, window, 0) < 1.0 ? 's' : (Rms(wav, f, window, 0) > 5000 ? 'L' : '-');
    const std::size_t silence = pattern.find(std::string(15, 's'));
    ASSERT_NE(silence, std::string::npos) << pattern;
    EXPECT_NE(pattern.rfind("LLLLL", silence), std::string::npos) << "loud before: " << pattern;
    EXPECT_NE(pattern.find("LLLL", silence), std::string::npos) << "volume 0 restores: " << pattern;
}

TEST_F(TChannelTest, FormatsComeOutAtTheirPitchAndLevel) {
    struct TCase {
        const char* Name;
        int Rate;
        int Channels;
        TFileKind Kind;
    };
    const TCase cases[] = {{"8bit-mono-22k.wav", 22050, 1, TFileKind::Wav8},
                           {"16bit-mono-44k.wav", 44100, 1, TFileKind::Wav16},
                           {"16bit-stereo-22k.wav", 22050, 2, TFileKind::Wav16},
                           {"8bit-stereo-44k.wav", 44100, 2, TFileKind::Wav8}};
    std::vector<std::unique_ptr<TDSMixerChannel>> channels;
    for (const TCase& c : cases) {
        channels.push_back(Channel(Write(c.Name, Sine(1.0, c.Rate, c.Channels, 441, 0.5), c.Kind)));
        channels.back()->SetLooping(true);
    }
    // One after the other, each alone in the output.
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (auto& channel : channels) {
        const std::size_t before = ReadDSoundWavFile(FWavPath).Frames();
        channel->Play();
        PumpForOutputTime(450);
        channel->Stop();
        spans.emplace_back(before, ReadDSoundWavFile(FWavPath).Frames());
        PumpForOutputTime(60);
    }
    const TDSoundWavFile wav = Output();
    for (std::size_t i = 0; i < channels.size(); ++i) {
        SCOPED_TRACE(cases[i].Name);
        std::size_t first = spans[i].first;
        while (first < spans[i].second && Silent(wav, first)) ++first;
        const std::size_t count = wav.Rate * 3 / 10;
        ASSERT_LE(first + count, wav.Frames());
        for (int side = 0; side < 2; ++side) {
            EXPECT_NEAR(Frequency(wav, first, count, side), 441.0, 8.0);
            EXPECT_NEAR(Rms(wav, first, count, side), 0.5 * 32767 / std::sqrt(2.0), 400.0);
        }
    }
}

TEST_F(TChannelTest, PlayRangePlaysOnlyItsPart) {
    const soundgen::TSound sound = Ramp(1.0);
    const std::vector<std::int16_t> source = Expected(sound);
    auto channel = Channel(Write("range.wav", sound));
    channel->SetStartTime(200);
    channel->SetEndTime(400);
    EXPECT_EQ(channel->StartTime(), 200);
    EXPECT_EQ(channel->EndTime(), 400);
    channel->Play();
    PumpForOutputTime(300);
    const TDSoundWavFile wav = Output();
    channel->Stop();
    EXPECT_TRUE(Occurrences(wav, source, 0).empty());
    const std::vector<std::size_t> starts = Occurrences(wav, source, 8820);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(MatchingRun(wav, starts[0], source, 8820, false), 8820u);
    EXPECT_TRUE(Silent(wav, starts[0] + 8820));

    // An end of 0 runs to the end of the file, whatever the start.
    channel->SetEndTime(0);
    EXPECT_EQ(channel->EndTime(), 0);
}

TEST_F(TChannelTest, LostBufferFiresOnBufferLostAndTheNextPlayWorks) {
    auto lose = DSoundHook<LPDSOUNDTESTLOSEBUFFER>("DSoundTestLoseBuffer");
    auto channel = Channel(Write("tone.wav", Sine(1.0, 44100, 2, 500, 0.3)));
    channel->SetLooping(true);
    // Written on the refill thread at the third loss, read on this one: the thread first, so
    // that a count seen here comes with its thread.
    std::atomic<int> lost{0};
    std::atomic<DWORD> lostOn{0};
    channel->OnBufferLost = [&](TObject* sender) {
        EXPECT_EQ(sender, channel.get());
        lostOn = GetCurrentThreadId();
        ++lost;
    };
    channel->Play();
    channel->Stop();

    // Lost at the prefill's lock.
    lose(nullptr);
    channel->Play();
    EXPECT_EQ(lost.load(), 1);
    EXPECT_EQ(lostOn.load(), GetCurrentThreadId());
    EXPECT_FALSE(channel->Playing());
    channel->Play();
    EXPECT_TRUE(channel->Playing());
    channel->Stop();

    // Lost when the buffer is started.
    channel->Prefill();
    lose(nullptr);
    channel->Play();
    EXPECT_EQ(lost.load(), 2);
    EXPECT_FALSE(channel->Playing());
    channel->Play();
    EXPECT_TRUE(channel->Playing());

    // Lost at a refill: handled on the refill thread.
    lose(nullptr);
    ASSERT_TRUE(PumpUntil([&] { return lost == 3; }, kHangMs)) << "the refill's loss hung";
    EXPECT_NE(lostOn.load(), GetCurrentThreadId());
    EXPECT_FALSE(channel->Playing());
    channel->Play();
    EXPECT_TRUE(channel->Playing());
    PumpForOutputTime(100);
    const TDSoundWavFile wav = Output();
    EXPECT_GT(Rms(wav, wav.Frames() - 2205, 2205, 0), 3000.0) << "it plays again";
}

namespace {

// Calls Play on its own thread once told to.
struct TWaitingPlay {
    TDSMixerChannel* Channel;
    HANDLE Go;
    HANDLE Done;
    std::int64_t WaitedMs = -1;
};

DWORD PlayWhenTold(LPVOID parameter) {
    auto* call = static_cast<TWaitingPlay*>(parameter);
    WaitForSingleObject(call->Go, INFINITE);
    const auto start = TClock::now();
    call->Channel->Play();
    call->WaitedMs = MsSince(start);
    SetEvent(call->Done);
    return 0;
}

}  // namespace

TEST_F(TChannelTest, LockHeldElsewhereMakesAnOperationDoNothing) {
    const std::string file = Write("tone.wav", Sine(0.5, 44100, 2, 500, 0.3));
    auto channel = std::make_unique<TDSMixerChannel>(FMixer.get());
    channel->LoadFromFile(file);
    HANDLE lock = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kChannelLockName);
    ASSERT_NE(lock, nullptr) << "the channel holds the first lock name";

    TWaitingPlay call{channel.get(), CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, PlayWhenTold, &call, 0, nullptr);
    WaitForSingleObject(lock, INFINITE);
    SetEvent(call.Go);
    WaitForSingleObject(call.Done, INFINITE);
    ReleaseMutex(lock);
    CloseHandle(lock);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(call.Go);
    CloseHandle(call.Done);
    EXPECT_GE(call.WaitedMs, 240);
    EXPECT_FALSE(channel->Playing()) << "the operation did nothing";
    EXPECT_FALSE(ReadDSoundWavFile(FWavPath).Valid) << "not even the device was opened";

    channel->Play();
    EXPECT_TRUE(channel->Playing());
    channel->Stop();
}

TEST_F(TChannelTest, TwentyTwoChannelsPlayAtOnce) {
    std::vector<std::unique_ptr<TDSMixerChannel>> channels;
    int sum = 0;
    for (int i = 0; i < 22; ++i) {
        const int level = 50 * (i + 1);
        sum += level;
        channels.push_back(Channel(Write("c" + std::to_string(i) + ".wav", Constant(0.5, 44100, i % 2 + 1, level))));
        channels.back()->SetLooping(true);
    }
    for (auto& channel : channels) channel->Play();
    for (auto& channel : channels) EXPECT_TRUE(channel->Playing());
    PumpForOutputTime(150);
    const TDSoundWavFile wav = Output();
    ASSERT_GT(wav.Frames(), 4410u);
    for (std::size_t f = wav.Frames() - 4410; f < wav.Frames(); ++f) {
        ASSERT_EQ(wav.Sample16(f, 0), sum) << f;
        ASSERT_EQ(wav.Sample16(f, 1), sum) << f;
    }
}

TEST_F(TChannelTest, LoadingResetsAndChecksTheFile) {
    TDSMixerChannel channel(FMixer.get());
    EXPECT_NO_THROW(channel.Stop()) << "no buffer: nothing happens";
    channel.SetVolume(-500);
    channel.SetPan(300);
    channel.SetLooping(true);
    channel.SetStartTime(100);
    const std::string tone = Write("tone.wav", Sine(0.5, 44100, 2, 440, 0.3));
    channel.LoadFromFile(tone);
    EXPECT_EQ(channel.Volume(), 0);
    EXPECT_EQ(channel.Pan(), 0);
    EXPECT_FALSE(channel.Looping());
    EXPECT_EQ(channel.StartTime(), 0);
    EXPECT_EQ(channel.FileName(), tone);
    EXPECT_EQ(channel.LengthMs(), 500);
    channel.Prefill();
    EXPECT_EQ(channel.BufferSize(), 705600u);
    EXPECT_EQ(channel.EndThreshold(), 282240u);

    auto expectNoFile = [&](const char* why) {
        SCOPED_TRACE(why);
        try {
            channel.Play();
            FAIL() << "no exception";
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), "No file opened");
        }
        EXPECT_THROW(channel.Prefill(), Exception);
        EXPECT_FALSE(channel.Playing());
    };
    channel.Play();
    channel.LoadFromFile("");
    EXPECT_FALSE(channel.Playing()) << "loading stops the channel";
    expectNoFile("empty name");

    auto expectRejected = [&](const std::string& file, const char* message) {
        SCOPED_TRACE(message);
        try {
            channel.LoadFromFile(file);
            FAIL() << "no exception";
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), message);
        }
        expectNoFile(message);
    };
    expectRejected(Write("surround.wav", Sine(0.2, 44100, 3, 440, 0.3)), "Invalid number of channels.");
    expectRejected(Write("wide.wav", Sine(0.2, 44100, 2, 440, 0.3), TFileKind::Wav24),
                   "Invalid number of bits per sample.");
    expectRejected(Write("empty.wav", Sine(0.0004, 44100, 2, 440, 0.3)), "Audio file is empty.");

    EXPECT_THROW(channel.LoadFromFile((FDir / "missing.wav").string()), EAudioReadError);
    expectNoFile("missing file");
}

TEST_F(TChannelTest, RangeEndsBeforeItsStartAreRaisedToTheMinimum) {
    auto channel = Channel(Write("tone.wav", Sine(1.0, 44100, 2, 440, 0.3)));
    channel->SetStartTime(500);
    channel->SetEndTime(300);
    EXPECT_EQ(channel->EndTime(), 300) << "the length asked for is stored, the reader holds 10 ms";
    channel->SetEndTime(0);
    EXPECT_EQ(channel->EndTime(), 0);
    channel->SetStartTime(0);
    EXPECT_EQ(channel->StartTime(), 0);
}

// With no file descriptor left, the process cannot attach to any lock name: the constructor
// raises, leaves nothing registered, and the next channel works once descriptors are back.
TEST_F(TChannelTest, ConstructorRaisesWhenTheLockCannotBeMade) {
    { TDSMixerChannel warmUp(FMixer.get()); }  // the window queue and the name space are set up once
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    std::exception_ptr raised;
    try {
        TDSMixerChannel channel(FMixer.get());
    } catch (...) {
        raised = std::current_exception();
    }
    // The sanitizers' checks of the exception object need descriptors of their own.
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(raised) << "the constructor raised nothing";
    std::string message;
    try {
        std::rethrow_exception(raised);
    } catch (const Exception& error) {
        message = error.Message();
    }
    const std::string expected = "Cannot create the channel lock: the system refused the names DSMCUpd0 to DSMCUpd99 (error ";
    EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
    EXPECT_TRUE(FMixer->Channels().empty());

    auto channel = Channel(Write("tone.wav", Sine(0.5, 44100, 2, 440, 0.3)));
    EXPECT_EQ(FMixer->Channels().size(), 1u);
    channel->Play();
    EXPECT_TRUE(channel->Playing());
}
