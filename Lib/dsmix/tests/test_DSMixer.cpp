// The mixer component, the device lists, the result texts and the position table.

#include "test_DSMixerSupport.h"

using namespace dsmixer_test;

namespace {

class TCountingMixer : public TDSMixer {
public:
    using TDSMixer::TDSMixer;
    void DeviceChanged() override { ++Changes; }
    int Changes = 0;
};

class TCountedChannel : public TDSMixerChannel {
public:
    TCountedChannel(TDSMixer* mixer, int& destroyed) : TDSMixerChannel(mixer), FDestroyed(destroyed) {}
    ~TCountedChannel() override { ++FDestroyed; }

private:
    int& FDestroyed;
};

TStreamValue Identifier(const std::string& name) {
    TStreamValue value;
    value.Kind = TStreamValue::TKind::Identifier;
    value.Text = name;
    return value;
}

TStreamValue Integer(std::int64_t number) {
    TStreamValue value;
    value.Kind = TStreamValue::TKind::Integer;
    value.Integer = number;
    return value;
}

TStreamValue Boolean(bool flag) {
    TStreamValue value;
    value.Kind = TStreamValue::TKind::Boolean;
    value.Boolean = flag;
    return value;
}

WAVEFORMATEX PrimaryFormat(IDirectSound* device) {
    DSBUFFERDESC desc{};
    desc.dwSize = sizeof desc;
    desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
    IDirectSoundBuffer* primary = nullptr;
    EXPECT_EQ(device->CreateSoundBuffer(&desc, &primary, nullptr), DS_OK);
    WAVEFORMATEX format{};
    EXPECT_EQ(primary->GetFormat(&format, DSOUND_WAVEFORMAT_BYTES, nullptr), DS_OK);
    primary->Release();
    return format;
}

}  // namespace

TEST(DirectSoundErrorText, TableAndUnknownCodes) {
    EXPECT_EQ(DirectSoundErrorText(0), "The request completed successfully.");
    EXPECT_EQ(DirectSoundErrorText(DSERR_BUFFERLOST), "The buffer memory has been lost and must be restored.");
    EXPECT_EQ(DirectSoundErrorText(DSERR_OUTOFMEMORY),
              "The DirectSound subsystem could not allocate sufficient memory to complete the caller\u00B4s request.");
    EXPECT_EQ(DirectSoundErrorText(DSERR_OBJECTNOTFOUND),
              "The object requested was not found (numerically equal to DMUS_E_NOT_FOUND).");
    EXPECT_EQ(DirectSoundErrorText(DSERR_PRIOLEVELNEEDED),
              "The caller does not have the priority level required for the function to succeed.");
    EXPECT_EQ(DirectSoundErrorText(0x12345678), "Unrecognized Error");
    EXPECT_EQ(DirectSoundErrorText(1), "Unrecognized Error");
}

TEST(CheckDSResult, RaisesEveryNonzeroResultWithItsCode) {
    EXPECT_NO_THROW(CheckDSResult(DS_OK));
    try {
        CheckDSResult(DSERR_BADFORMAT);
        FAIL() << "no exception";
    } catch (const EDirectXError& error) {
        EXPECT_EQ(error.ErrorCode, DSERR_BADFORMAT);
        EXPECT_EQ(error.Message(), "The specified wave format is not supported.");
        EXPECT_EQ(error.ClassName(), "EDirectXError");
    }
    try {
        CheckDSResult(S_FALSE);
        FAIL() << "a success code raises too";
    } catch (const EDirectXError& error) {
        EXPECT_EQ(error.ErrorCode, S_FALSE);
        EXPECT_EQ(error.Message(), "Unrecognized Error");
    }
}

TEST(PositionTimes, RingOfFiftyWithConsistencyChecks) {
    TPositionTimes table;
    for (int i = 0; i < 50; ++i) table.Add(i * 10, i * 10 + 10, i * 100, i * 100 + 100);
    EXPECT_EQ(table.Index(), 0);
    table.Add(7000, 7100, 1, 2);
    EXPECT_EQ(table.PositionStart(0), 7000) << "the 51st entry overwrites the first";
    EXPECT_EQ(table.TimeEnd(0), 2);
    EXPECT_EQ(table.PositionStart(1), 10);
    EXPECT_EQ(table.Index(), 1);

    try {
        table.Add(0, 10, 5, 4);
        FAIL() << "no assertion";
    } catch (const EAssertionFailed& error) {
        EXPECT_EQ(error.Message(), "Internal Error: Time Start higher then Time End");
    }
    EXPECT_EQ(table.Index(), 1) << "a failed entry does not move the slot";
    EXPECT_EQ(table.TimeStart(1), 5) << "but it is stored";
    try {
        table.Add(10, 10, 4, 4);
        FAIL() << "no assertion";
    } catch (const EAssertionFailed& error) {
        EXPECT_EQ(error.Message(), "Internal Error: Position Start not inferior to Position End");
    }
    table.Add(0, 1, 3, 3);
    EXPECT_EQ(table.Index(), 2);
}

TEST_F(TMixerTest, DeviceListsWithTheNullOrWavOutput) {
    ASSERT_NE(DeviceNames, nullptr);
    ASSERT_EQ(DeviceNames->Count(), 1);
    EXPECT_EQ(DeviceNames->Get(0), "Primary Sound Driver");
    ASSERT_EQ(DeviceGuids->Count(), 1);
    EXPECT_EQ(DeviceGuids->Get(0), "");
}

TEST_F(TMixerTest, DeviceListsOfSdlDevicesAreStable) {
    unsetenv("DSOUND_OUTPUT");
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    InitializeDeviceLists();
    ASSERT_GE(DeviceGuids->Count(), 2);
    ASSERT_EQ(DeviceNames->Count(), DeviceGuids->Count());
    EXPECT_EQ(DeviceGuids->Get(0), "");
    const std::string guid = DeviceGuids->Get(1);
    EXPECT_EQ(guid.size(), 38u);
    EXPECT_EQ(guid.front(), '{');
    EXPECT_EQ(guid.back(), '}');
    InitializeDeviceLists();
    EXPECT_EQ(DeviceGuids->Get(1), guid);
}

TEST_F(TMixerTest, PropertyRulesAndTheirDefaults) {
    TDSMixer mixer(nullptr);
    EXPECT_EQ(mixer.BitsPerSample(), bs16Bit);
    EXPECT_TRUE(mixer.Stereo());
    EXPECT_EQ(mixer.Frequency(), 44100);
    EXPECT_EQ(mixer.Level(), lPriority);
    EXPECT_EQ(mixer.SpeakerConfig(), DSSPEAKER_STEREO);
    mixer.SetFrequency(99);
    EXPECT_EQ(mixer.Frequency(), 100);
    mixer.SetFrequency(100001);
    EXPECT_EQ(mixer.Frequency(), 100000);
    mixer.SetFrequency(44100);
    EXPECT_EQ(mixer.Frequency(), 44100);
    mixer.SetSpeakerConfig(DSSPEAKER_HEADPHONE);
    EXPECT_EQ(mixer.SpeakerConfig(), DSSPEAKER_HEADPHONE) << "a closed mixer only stores it";
}

TEST_F(TMixerTest, FormResourceSetsThePublishedProperties) {
    EXPECT_TRUE(IsComponentClassRegistered("TDSMixer"));
    std::unique_ptr<TComponent> created(CreateComponentByClassName("TDSMixer", nullptr));
    auto* mixer = dynamic_cast<TDSMixer*>(created.get());
    ASSERT_NE(mixer, nullptr);
    EXPECT_EQ(mixer->ClassName(), "TDSMixer");
    TPublishedTable table;
    mixer->DefinePublished(table);
    for (const char* name : {"BitsPerSample", "Stereo", "Frequency", "Level", "SpeakerConfig"})
        ASSERT_NE(table.FindProperty(name), nullptr) << name;
    (*table.FindProperty("BitsPerSample"))(Identifier("bs8Bit"));
    (*table.FindProperty("Stereo"))(Boolean(false));
    (*table.FindProperty("Frequency"))(Integer(200000));
    (*table.FindProperty("Level"))(Identifier("lExclusive"));
    (*table.FindProperty("SpeakerConfig"))(Integer(DSSPEAKER_MONO));
    EXPECT_EQ(mixer->BitsPerSample(), bs8Bit);
    EXPECT_FALSE(mixer->Stereo());
    EXPECT_EQ(mixer->Frequency(), 100000) << "through the frequency rule";
    EXPECT_EQ(mixer->Level(), lExclusive);
    EXPECT_EQ(mixer->SpeakerConfig(), DSSPEAKER_MONO);
    EXPECT_THROW((*table.FindProperty("Level"))(Identifier("lLoud")), EReadError);
    EXPECT_THROW((*table.FindProperty("Stereo"))(Integer(1)), EReadError);
}

TEST_F(TMixerTest, OpensOnceOnDemandAndReadsTheFormatBack) {
    TCountingMixer mixer(nullptr);
    mixer.SetBitsPerSample(bs8Bit);
    mixer.SetStereo(false);
    mixer.SetFrequency(22050);
    mixer.SetSpeakerConfig(DSSPEAKER_HEADPHONE);
    EXPECT_EQ(mixer.Changes, 0) << "nothing is opened before the first demand";
    IDirectSound* device = mixer.GetDirectSound();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(mixer.Changes, 1);
    IDirectSound* again = mixer.GetDirectSound();
    EXPECT_EQ(again, device);
    EXPECT_EQ(mixer.Changes, 1);
    again->Release();

    const WAVEFORMATEX format = PrimaryFormat(device);
    EXPECT_EQ(format.nSamplesPerSec, 22050u);
    EXPECT_EQ(format.nChannels, 1);
    EXPECT_EQ(format.wBitsPerSample, 8);
    EXPECT_EQ(mixer.BitsPerSample(), bs8Bit);
    EXPECT_FALSE(mixer.Stereo());
    EXPECT_EQ(mixer.Frequency(), 22050);
    DWORD config = 0;
    ASSERT_EQ(device->GetSpeakerConfig(&config), DS_OK);
    EXPECT_EQ(config, DSSPEAKER_HEADPHONE) << "stored before, passed at opening";
    mixer.SetSpeakerConfig(DSSPEAKER_MONO);
    ASSERT_EQ(device->GetSpeakerConfig(&config), DS_OK);
    EXPECT_EQ(config, DSSPEAKER_MONO);
    EXPECT_THROW(mixer.SetSpeakerConfig(0), EDirectXError);
    EXPECT_EQ(mixer.SpeakerConfig(), DSSPEAKER_MONO) << "a refused value is not stored";
    device->Release();

    PumpFor(100);
    const TDSoundWavFile wav = Output();
    EXPECT_EQ(wav.Rate, 22050u) << "the output runs in the format set";
    EXPECT_EQ(wav.Bits, 8);
}

TEST_F(TMixerTest, DeviceThatKeepsItsFormatIsReportedTruthfully) {
    auto fixFormat = DSoundHook<LPDSOUNDTESTFIXPRIMARYFORMAT>("DSoundTestFixPrimaryFormat");
    fixFormat(TRUE);
    TDSMixer mixer(nullptr);
    mixer.SetBitsPerSample(bs8Bit);
    mixer.SetStereo(false);
    mixer.SetFrequency(22050);
    IDirectSound* device = mixer.GetDirectSound();
    fixFormat(FALSE);
    device->Release();
    EXPECT_EQ(mixer.BitsPerSample(), bs16Bit);
    EXPECT_TRUE(mixer.Stereo());
    EXPECT_EQ(mixer.Frequency(), 44100);
}

TEST_F(TMixerTest, NormalLevelLeavesThePrimaryFormatAlone) {
    TDSMixer mixer(nullptr);
    mixer.SetLevel(lNormal);
    mixer.SetBitsPerSample(bs8Bit);
    mixer.SetFrequency(22050);
    IDirectSound* device = mixer.GetDirectSound();
    const WAVEFORMATEX format = PrimaryFormat(device);
    device->Release();
    EXPECT_EQ(format.nSamplesPerSec, 44100u);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(mixer.BitsPerSample(), bs8Bit);
    EXPECT_EQ(mixer.Frequency(), 22050);
}

TEST_F(TMixerTest, EmptyDeviceListOpensNothing) {
    FinalizeDeviceLists();
    TCountingMixer mixer(nullptr);
    EXPECT_THROW(mixer.GetDirectSound(), EListError);
    EXPECT_EQ(mixer.Changes, 0);
}

TEST_F(TMixerTest, UnusableOutputRaisesItsDirectSoundErrorAndAMixerCheckedSoPlaysNothing) {
    setenv("DSOUND_OUTPUT", "wav:/nonexistent-folder/out.wav", 1);
    TCountingMixer mixer(nullptr);
    for (const bool check : {false, true}) {
        try {
            if (check) mixer.CheckDevice();
            else mixer.GetDirectSound();
            FAIL() << "no exception";
        } catch (const EDirectXError& error) {
            EXPECT_EQ(error.ErrorCode, DSERR_NODRIVER);
            EXPECT_EQ(error.Message(), "No sound driver is available for use.");
        }
    }
    // Not tried again at the sounds, even once an output could be had.
    setenv("DSOUND_OUTPUT", "null", 1);
    TDSMixerChannel channel(&mixer);
    channel.LoadFromFile(Write("tone.wav", Sine(0.5, 44100, 2, 440, 0.3)));
    channel.Play();
    EXPECT_FALSE(channel.Playing());
    EXPECT_EQ(mixer.Changes, 0);
}

TEST_F(TMixerTest, DestroyingTheMixerFreesItsChannels) {
    int destroyed = 0;
    TCountingMixer* mixer = new TCountingMixer(nullptr);
    new TCountedChannel(mixer, destroyed);
    auto* playing = new TCountedChannel(mixer, destroyed);
    new TCountedChannel(mixer, destroyed);
    ASSERT_EQ(mixer->Channels().size(), 3u);
    playing->LoadFromFile(Write("tone.wav", Sine(0.5, 44100, 2, 440, 0.3)));
    playing->SetLooping(true);
    playing->Play();
    EXPECT_EQ(mixer->Changes, 1);
    delete mixer;
    EXPECT_EQ(destroyed, 3);
}

TEST_F(TMixerTest, ChannelLeavesTheMixerWhenFreed) {
    TDSMixer mixer(nullptr);
    auto first = std::make_unique<TDSMixerChannel>(&mixer);
    auto second = std::make_unique<TDSMixerChannel>(&mixer);
    first.reset();
    ASSERT_EQ(mixer.Channels().size(), 1u);
    EXPECT_EQ(mixer.Channels()[0], second.get());
    mixer.RemoveChannel(first.get());  // absent: nothing happens
    EXPECT_EQ(mixer.Channels().size(), 1u);
}

// Another program holds the channels' lock for 300 ms while the mixer is destroyed, so the Stop
// inside its closing times out for the first channel. That channel's refill thread is then
// waiting for the lock; once it comes free (while the second channel is stopped) it must not
// refill a channel whose buffer the mixer has freed: no buffer and no device is made again.
TEST_F(TMixerTest, LockHeldElsewhereWhileItIsDestroyedNoRefillOutlivesItsBuffer) {
    const auto counts = DSoundHook<LPDSOUNDTESTCOUNTS>("DSoundTestCounts");
    const std::string file = Write("tone.wav", Sine(1.0, 44100, 2, 500, 0.3));
    auto mixer = std::make_unique<TDSMixer>(nullptr);
    for (int i = 0; i < 2; ++i) new TDSMixerChannel(mixer.get());
    for (TDSMixerChannel* channel : mixer->Channels()) {
        channel->LoadFromFile(file);
        channel->SetLooping(true);
    }
    const auto played = TClock::now();
    for (TDSMixerChannel* channel : mixer->Channels()) channel->Play();
    for (TDSMixerChannel* channel : mixer->Channels()) ASSERT_TRUE(channel->Playing());

    // The refills run 400 ms after Play; the next ones wait for the lock from about 800 ms on,
    // and the Stop of the first channel gives up 250 ms after the destruction begins.
    Sleep(static_cast<DWORD>(std::max<std::int64_t>(0, 450 - MsSince(played))));
    TLockHolder holder(kChannelLockName);
    ASSERT_TRUE(holder.Locked()) << "the mutex helper program beside the tests took the lock";
    Sleep(static_cast<DWORD>(std::max<std::int64_t>(0, 600 - MsSince(played))));
    DSOUNDTESTCOUNTS before{};
    counts(&before);
    holder.ReleaseAfter(300);
    mixer.reset();

    DSOUNDTESTCOUNTS after{};
    counts(&after);
    EXPECT_EQ(after.BuffersCreated, before.BuffersCreated) << "a refill made a buffer again";
    EXPECT_EQ(after.DevicesCreated, before.DevicesCreated) << "a refill opened the device again";
    EXPECT_EQ(after.BuffersAlive, 0u);
    EXPECT_EQ(after.DevicesAlive, 0u);
}
