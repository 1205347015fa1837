#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SoundWriter.h"
#include "dshow.h"

namespace fs = std::filesystem;
using soundgen::TFileKind;
using soundgen::TSound;

namespace {

TSound Sine(int rate, int channels, double seconds, double frequency = 440.0) {
    return soundgen::Sine(rate, channels, seconds, frequency, 0.5);
}

std::vector<BYTE> Pcm16Bytes(const TSound& sound) {
    std::vector<BYTE> bytes;
    for (float s : sound.Samples) {
        const auto v = static_cast<std::uint16_t>(soundgen::ToInt16(s));
        bytes.push_back(static_cast<BYTE>(v));
        bytes.push_back(static_cast<BYTE>(v >> 8));
    }
    return bytes;
}

class Dshow : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = fs::temp_directory_path() /
               ("dshow-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(FDir);
    }
    void TearDown() override {
        ReleaseAll();
        fs::remove_all(FDir);
    }

    std::string Write(const std::string& name, TFileKind kind, const TSound& sound) {
        const std::string path = (FDir / name).string();
        std::string message;
        EXPECT_TRUE(soundgen::WriteSoundFile(path, kind, sound, message)) << message;
        return path;
    }

    HRESULT Open(const std::string& path) {
        EXPECT_EQ(CoCreateInstance(CLSID_AMMultiMediaStream, nullptr, CLSCTX_INPROC_SERVER, IID_IAMMultiMediaStream,
                                   reinterpret_cast<void**>(&FStream)),
                  S_OK);
        EXPECT_EQ(FStream->Initialize(STREAMTYPE_READ, AMMSF_NOGRAPHTHREAD, nullptr), S_OK);
        EXPECT_EQ(FStream->AddMediaStream(nullptr, &MSPID_PrimaryAudio, 0, nullptr), S_OK);
        EXPECT_EQ(FStream->GetMediaStream(MSPID_PrimaryAudio, &FMediaStream), S_OK);
        std::u16string name;
        for (char32_t c : fs::path(path).u32string()) name += static_cast<char16_t>(c);
        HRESULT hr = FStream->OpenFile(name.c_str(), 0);
        if (FAILED(hr)) return hr;
        EXPECT_EQ(FMediaStream->QueryInterface(IID_IAudioMediaStream, reinterpret_cast<void**>(&FAudio)), S_OK);
        EXPECT_EQ(FAudio->GetFormat(&FFormat), S_OK);
        EXPECT_EQ(CoCreateInstance(CLSID_AMAudioData, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioData,
                                   reinterpret_cast<void**>(&FData)),
                  S_OK);
        EXPECT_EQ(FData->SetFormat(&FFormat), S_OK);
        EXPECT_EQ(FAudio->CreateSample(FData, 0, &FSample), S_OK);
        IGraphBuilder* graph = nullptr;
        EXPECT_EQ(FStream->GetFilterGraph(&graph), S_OK);
        EXPECT_EQ(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&FControl)), S_OK);
        EXPECT_EQ(graph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&FSeeking)), S_OK);
        graph->Release();
        return FStream->SetState(STREAMSTATE_RUN);
    }

    // Every piece until the end of the stream, appended; the pieces' times checked to join.
    std::vector<BYTE> ReadAll(DWORD bufferSize = 1 << 20) {
        std::vector<BYTE> buffer(bufferSize), all;
        EXPECT_EQ(FData->SetBuffer(bufferSize, buffer.data(), 0), S_OK);
        STREAM_TIME expectedStart = -1;
        HRESULT hr;
        while ((hr = FSample->Update(0, nullptr, nullptr, 0)) == S_OK) {
            DWORD actual = 0;
            STREAM_TIME start = 0, end = 0;
            FData->GetInfo(nullptr, nullptr, &actual);
            FSample->GetSampleTimes(&start, &end, nullptr);
            if (expectedStart >= 0) {
                EXPECT_EQ(start, expectedStart);
            }
            EXPECT_LT(start, end);
            expectedStart = end;
            all.insert(all.end(), buffer.begin(), buffer.begin() + actual);
        }
        EXPECT_EQ(hr, MS_S_ENDOFSTREAM);
        return all;
    }

    void ReleaseAll() {
        for (IUnknown** p : std::initializer_list<IUnknown**>{
                 reinterpret_cast<IUnknown**>(&FSample), reinterpret_cast<IUnknown**>(&FData),
                 reinterpret_cast<IUnknown**>(&FAudio), reinterpret_cast<IUnknown**>(&FMediaStream),
                 reinterpret_cast<IUnknown**>(&FSeeking), reinterpret_cast<IUnknown**>(&FControl),
                 reinterpret_cast<IUnknown**>(&FStream)}) {
            if (*p != nullptr) (*p)->Release();
            *p = nullptr;
        }
    }

    fs::path FDir;
    IAMMultiMediaStream* FStream = nullptr;
    IMediaStream* FMediaStream = nullptr;
    IAudioMediaStream* FAudio = nullptr;
    IAudioData* FData = nullptr;
    IAudioStreamSample* FSample = nullptr;
    IMediaControl* FControl = nullptr;
    IMediaSeeking* FSeeking = nullptr;
    WAVEFORMATEX FFormat{};
};

TEST_F(Dshow, Pcm16StereoIsDeliveredAsStoredInPiecesOf100ms) {
    const TSound sound = Sine(44100, 2, 1.0);
    ASSERT_EQ(Open(Write("a.wav", TFileKind::Wav16, sound)), S_OK);
    EXPECT_EQ(FFormat.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(FFormat.nChannels, 2);
    EXPECT_EQ(FFormat.nSamplesPerSec, 44100u);
    EXPECT_EQ(FFormat.wBitsPerSample, 16);
    EXPECT_EQ(FFormat.nBlockAlign, 4);
    EXPECT_EQ(FFormat.nAvgBytesPerSec, 176400u);
    STREAM_TIME duration = 0;
    EXPECT_EQ(FStream->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 10000000);

    std::vector<BYTE> buffer(100000);
    ASSERT_EQ(FData->SetBuffer(static_cast<DWORD>(buffer.size()), buffer.data(), 0), S_OK);
    ASSERT_EQ(FSample->Update(0, nullptr, nullptr, 0), S_OK);
    DWORD length = 0, actual = 0;
    BYTE* data = nullptr;
    EXPECT_EQ(FData->GetInfo(&length, &data, &actual), S_OK);
    EXPECT_EQ(length, 100000u);
    EXPECT_EQ(data, buffer.data());
    EXPECT_EQ(actual, 17640u);
    STREAM_TIME start = -1, end = -1, current = -1;
    EXPECT_EQ(FSample->GetSampleTimes(&start, &end, &current), S_OK);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 1000000);
    EXPECT_EQ(current, 1000000);

    const std::vector<BYTE> expected = Pcm16Bytes(sound);
    EXPECT_EQ(std::memcmp(buffer.data(), expected.data(), 17640), 0);
    std::vector<BYTE> rest = ReadAll();
    rest.insert(rest.begin(), buffer.begin(), buffer.begin() + 17640);
    EXPECT_EQ(rest, expected);
    // The end stays the end.
    EXPECT_EQ(FSample->Update(0, nullptr, nullptr, 0), MS_S_ENDOFSTREAM);
}

TEST_F(Dshow, SmallBuffersGetWholeFramesOnlyAndLessThanAFrameIsRefused) {
    ASSERT_EQ(Open(Write("a.wav", TFileKind::Wav16, Sine(44100, 2, 0.1))), S_OK);
    std::vector<BYTE> buffer(10);
    ASSERT_EQ(FData->SetBuffer(10, buffer.data(), 0), S_OK);
    ASSERT_EQ(FSample->Update(0, nullptr, nullptr, 0), S_OK);
    DWORD actual = 0;
    FData->GetInfo(nullptr, nullptr, &actual);
    EXPECT_EQ(actual, 8u);
    STREAM_TIME start = -1, end = -1;
    FSample->GetSampleTimes(&start, &end, nullptr);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, 2 * 10000000 / 44100);
    ASSERT_EQ(FData->SetBuffer(3, buffer.data(), 0), S_OK);
    EXPECT_EQ(FSample->Update(0, nullptr, nullptr, 0), E_INVALIDARG);
}

TEST_F(Dshow, EightBitMonoKeepsItsFormatAndBytes) {
    const TSound sound = Sine(22050, 1, 0.25);
    ASSERT_EQ(Open(Write("a.wav", TFileKind::Wav8, sound)), S_OK);
    EXPECT_EQ(FFormat.wBitsPerSample, 8);
    EXPECT_EQ(FFormat.nChannels, 1);
    EXPECT_EQ(FFormat.nBlockAlign, 1);
    EXPECT_EQ(FFormat.nSamplesPerSec, 22050u);
    const std::vector<BYTE> all = ReadAll();
    ASSERT_EQ(all.size(), sound.Samples.size());
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(all[i], static_cast<BYTE>((soundgen::ToInt16(sound.Samples[i]) >> 8) + 128)) << i;
}

TEST_F(Dshow, WideIntegerAndFloatFilesReportTheirTrueWidth) {
    const TSound sound = Sine(48000, 2, 0.1);
    ASSERT_EQ(Open(Write("a24.wav", TFileKind::Wav24, sound)), S_OK);
    EXPECT_EQ(FFormat.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(FFormat.wBitsPerSample, 24);
    EXPECT_EQ(FFormat.nBlockAlign, 6);
    EXPECT_EQ(ReadAll().size(), sound.Samples.size() * 3);
    ReleaseAll();

    ASSERT_EQ(Open(Write("a32.wav", TFileKind::Wav32, sound)), S_OK);
    EXPECT_EQ(FFormat.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(FFormat.wBitsPerSample, 32);
    ReleaseAll();

    ASSERT_EQ(Open(Write("af.wav", TFileKind::WavFloat, sound)), S_OK);
    EXPECT_EQ(FFormat.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(FFormat.wBitsPerSample, 32);
    const std::vector<BYTE> all = ReadAll();
    ASSERT_EQ(all.size(), sound.Samples.size() * 4);
    float first[2];
    std::memcpy(first, all.data() + 4 * 10, sizeof first);
    EXPECT_FLOAT_EQ(first[0], sound.Samples[10]);
    EXPECT_FLOAT_EQ(first[1], sound.Samples[11]);
}

TEST_F(Dshow, CompressedFilesAreDeliveredAs16BitPcm) {
    const TSound sound = Sine(44100, 2, 0.5);
    ASSERT_EQ(Open(Write("a.flac", TFileKind::Flac16, sound)), S_OK);
    EXPECT_EQ(FFormat.wBitsPerSample, 16);
    EXPECT_EQ(FFormat.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(ReadAll(), Pcm16Bytes(sound));  // lossless
    ReleaseAll();

    ASSERT_EQ(Open(Write("a.mp3", TFileKind::Mp3, sound)), S_OK);
    EXPECT_EQ(FFormat.wBitsPerSample, 16);
    EXPECT_EQ(FFormat.nChannels, 2);
    STREAM_TIME duration = 0;
    FStream->GetDuration(&duration);
    EXPECT_NEAR(static_cast<double>(duration), 5000000.0, 1000000.0);
    const std::vector<BYTE> all = ReadAll();
    EXPECT_NEAR(static_cast<double>(all.size()), 88200.0, 17640.0);
    // Decoded sound, not silence.
    int loud = 0;
    for (size_t i = 0; i + 1 < all.size(); i += 2) loud += std::abs(static_cast<short>(all[i] | (all[i + 1] << 8))) > 8000;
    EXPECT_GT(loud, 1000);
}

TEST_F(Dshow, TheGraphSeeksToTheFrameNearestTheTimeAndUpdatesNeedItRunning) {
    const TSound sound = Sine(22050, 1, 1.0);
    ASSERT_EQ(Open(Write("a.wav", TFileKind::Wav16, sound)), S_OK);
    std::vector<BYTE> buffer(4410);
    ASSERT_EQ(FData->SetBuffer(4410, buffer.data(), 0), S_OK);

    EXPECT_EQ(FControl->StopWhenReady(), S_OK);
    OAFilterState state = -1;
    EXPECT_EQ(FControl->GetState(static_cast<LONG>(0xFFFFFFFF), &state), S_OK);
    EXPECT_EQ(state, State_Stopped);
    EXPECT_EQ(FSample->Update(0, nullptr, nullptr, 0), MS_E_NOTRUNNING);

    LONGLONG position = 5000000;
    EXPECT_EQ(FSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    EXPECT_EQ(FControl->Run(), S_OK);
    EXPECT_EQ(FControl->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Running);
    ASSERT_EQ(FSample->Update(0, nullptr, nullptr, 0), S_OK);
    STREAM_TIME start = -1, end = -1;
    FSample->GetSampleTimes(&start, &end, nullptr);
    EXPECT_EQ(start, 5000000);
    EXPECT_EQ(end, 6000000);
    const std::vector<BYTE> expected = Pcm16Bytes(sound);
    EXPECT_EQ(std::memcmp(buffer.data(), expected.data() + 2 * 11025, 4410), 0);

    // The end time of a piece of a rate that does not divide 10^7 leads back to its frame.
    position = 10000000 / 22050;  // 453, frame 1 rounded down in time
    FSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    ASSERT_EQ(FSample->Update(0, nullptr, nullptr, 0), S_OK);
    FSample->GetSampleTimes(&start, nullptr, nullptr);
    EXPECT_EQ(start, 453);
    EXPECT_EQ(std::memcmp(buffer.data(), expected.data() + 2, 4410), 0);

    position = 99 * 10000000LL;
    EXPECT_EQ(FSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    EXPECT_EQ(FSample->Update(0, nullptr, nullptr, 0), MS_S_ENDOFSTREAM);
    position = -1;
    EXPECT_EQ(FSeeking->SetPositions(&position, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), E_INVALIDARG);
}

TEST_F(Dshow, OpenFileTellsMissingUnreadableNonSoundAndDamagedFilesApart) {
    EXPECT_EQ(Open((FDir / "missing.wav").string()), DSHOW_E_FILENOTFOUND);
    ReleaseAll();
    EXPECT_EQ(Open(FDir.string()), DSHOW_E_FILEUNREADABLE);
    ReleaseAll();

    const std::string text = (FDir / "text.wav").string();
    std::ofstream(text) << "This is a text file and no sound at all.\n";
    EXPECT_EQ(Open(text), DSHOW_E_NOTSOUND);
    ReleaseAll();
    const std::string empty = (FDir / "empty.wav").string();
    std::ofstream{empty};
    EXPECT_EQ(Open(empty), DSHOW_E_NOTSOUND);
    ReleaseAll();

    const std::string cut = Write("cut.wav", TFileKind::Wav16, Sine(44100, 2, 0.5));
    fs::resize_file(cut, fs::file_size(cut) - 1000);
    EXPECT_EQ(Open(cut), DSHOW_E_TRUNCATED);
    ReleaseAll();
    const std::string header = Write("header.wav", TFileKind::Wav16, Sine(44100, 2, 0.5));
    fs::resize_file(header, 30);
    EXPECT_EQ(Open(header), DSHOW_E_TRUNCATED);
}

TEST_F(Dshow, FileNamesAreUnicode) {
    ASSERT_EQ(Open(Write("Türsound ß.wav", TFileKind::Wav16, Sine(44100, 1, 0.1))), S_OK);
    EXPECT_EQ(ReadAll().size(), 8820u);
}

TEST_F(Dshow, CallsOutOfOrderFailWithTheStreamingCodes) {
    ASSERT_EQ(CoCreateInstance(CLSID_AMMultiMediaStream, nullptr, CLSCTX_INPROC_SERVER, IID_IAMMultiMediaStream,
                               reinterpret_cast<void**>(&FStream)),
              S_OK);
    EXPECT_EQ(FStream->OpenFile(u"x.wav", 0), MS_E_NOTINIT);
    EXPECT_EQ(FStream->Initialize(STREAMTYPE_WRITE, 0, nullptr), MS_E_INVALIDSTREAMTYPE);
    ASSERT_EQ(FStream->Initialize(STREAMTYPE_READ, AMMSF_NOGRAPHTHREAD, nullptr), S_OK);
    EXPECT_EQ(FStream->GetMediaStream(MSPID_PrimaryAudio, &FMediaStream), MS_E_NOSTREAM);
    EXPECT_EQ(FStream->OpenFile(u"x.wav", 0), MS_E_NOSTREAM);
    EXPECT_EQ(FStream->SetState(STREAMSTATE_RUN), MS_E_NOTINIT);
    EXPECT_EQ(FStream->SetState(STREAMSTATE_STOP), S_OK);
    constexpr MSPID otherPurpose = {0x1234, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(FStream->AddMediaStream(nullptr, &otherPurpose, 0, nullptr), MS_E_PURPOSEID);
    ASSERT_EQ(FStream->AddMediaStream(nullptr, &MSPID_PrimaryAudio, 0, nullptr), S_OK);
    EXPECT_EQ(FStream->AddMediaStream(nullptr, &MSPID_PrimaryAudio, 0, nullptr), MS_E_PURPOSEID);
    EXPECT_EQ(FStream->GetMediaStream(otherPurpose, &FMediaStream), MS_E_NOSTREAM);
    ReleaseAll();

    // A descriptor in another format than the stream's.
    ASSERT_EQ(Open(Write("a.wav", TFileKind::Wav16, Sine(44100, 2, 0.1))), S_OK);
    WAVEFORMATEX mono = FFormat;
    mono.nChannels = 1;
    mono.nBlockAlign = 2;
    mono.nAvgBytesPerSec = 88200;
    IAudioData* other = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_AMAudioData, nullptr, CLSCTX_INPROC_SERVER, IID_IAudioData, reinterpret_cast<void**>(&other)),
              S_OK);
    ASSERT_EQ(other->SetFormat(&mono), S_OK);
    IAudioStreamSample* sample = nullptr;
    EXPECT_EQ(FAudio->CreateSample(other, 0, &sample), MS_E_INCOMPATIBLE);
    EXPECT_EQ(sample, nullptr);
    other->Release();
    EXPECT_EQ(FStream->OpenFile(u"x.wav", 0), DSHOW_E_FILENOTFOUND);
}

TEST(DshowErrorText, HasATextForEachOwnFailureAndNoneForOtherCodes) {
    char buffer[300];
    for (HRESULT code : {DSHOW_E_FILENOTFOUND, DSHOW_E_FILEUNREADABLE, DSHOW_E_NOTSOUND, DSHOW_E_TRUNCATED, DSHOW_E_DECODE}) {
        const DWORD length = AMGetErrorTextA(code, buffer, sizeof buffer);
        EXPECT_GT(length, 10u);
        EXPECT_EQ(std::strlen(buffer), length);
    }
    AMGetErrorTextA(DSHOW_E_FILENOTFOUND, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "The sound file was not found.");
    AMGetErrorTextA(DSHOW_E_NOTSOUND, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "The file is not a sound file that can be decoded.");
    EXPECT_EQ(AMGetErrorTextA(E_FAIL, buffer, sizeof buffer), 0u);
    EXPECT_EQ(AMGetErrorTextA(MS_E_NOSTREAM, buffer, sizeof buffer), 0u);
    EXPECT_EQ(AMGetErrorTextA(0, buffer, sizeof buffer), 0u);
    // A short buffer gets the start of the text, still terminated.
    EXPECT_EQ(AMGetErrorTextA(DSHOW_E_FILENOTFOUND, buffer, 4), 3u);
    EXPECT_STREQ(buffer, "The");
}

}  // namespace
