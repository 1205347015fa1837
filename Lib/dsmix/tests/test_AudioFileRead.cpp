#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AudioFileRead.h"
#include "ComObject.h"
#include "SoundWriter.h"

namespace fs = std::filesystem;
using soundgen::TFileKind;
using soundgen::TSound;

namespace {

constexpr std::int64_t Ms = 10000;  // 100-ns units per millisecond

TSound Tone(int rate, int channels, double seconds) {
    return soundgen::Sine(rate, channels, seconds, 330.0, 0.4);
}

class AudioFileRead : public ::testing::Test {
protected:
    void SetUp() override {
        InitializeCom();
        FDir = fs::temp_directory_path() /
               ("afr-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(FDir);
    }
    void TearDown() override {
        fs::remove_all(FDir);
        FinalizeCom();
    }

    std::string Write(const std::string& name, TFileKind kind, const TSound& sound) {
        const std::string path = (FDir / name).string();
        std::string message;
        EXPECT_TRUE(soundgen::WriteSoundFile(path, kind, sound, message)) << message;
        return path;
    }
    std::string Stereo44k(double seconds = 1.0) { return Write("stereo.wav", TFileKind::Wav16, Tone(44100, 2, seconds)); }

    // Reads until Read gives 0, in calls of bufferSize bytes.
    static std::vector<BYTE> ReadToEnd(TAudioFileReader& reader, std::uint32_t bufferSize = 65536) {
        std::vector<BYTE> buffer(bufferSize), all;
        for (int calls = 0; calls < 100000; ++calls) {
            const std::int32_t n = reader.Read(buffer.data(), bufferSize);
            EXPECT_GE(n, 0);
            if (n <= 0) break;
            all.insert(all.end(), buffer.begin(), buffer.begin() + n);
        }
        return all;
    }

    // The error a failing call raises; fails the test when it raises none.
    template <class F>
    static EAudioReadError ErrorOf(F&& call) {
        try {
            call();
        } catch (const EAudioReadError& error) {
            return error;
        }
        ADD_FAILURE() << "no EAudioReadError";
        return EAudioReadError("", 0);
    }

    fs::path FDir;
};

TEST_F(AudioFileRead, OpeningTakesFormatAndDurationAndStartsAtZero) {
    TAudioFileReader reader(Stereo44k());
    EXPECT_EQ(reader.Format().wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(reader.Format().nChannels, 2);
    EXPECT_EQ(reader.Format().nSamplesPerSec, 44100u);
    EXPECT_EQ(reader.Format().wBitsPerSample, 16);
    EXPECT_EQ(reader.Format().nBlockAlign, 4);
    EXPECT_EQ(reader.Format().nAvgBytesPerSec, 176400u);
    EXPECT_EQ(reader.Duration(), 1000 * Ms);
    EXPECT_EQ(reader.FileName(), (FDir / "stereo.wav").string());
    EXPECT_EQ(reader.CurrentPos(), 0);
    EXPECT_EQ(reader.StartPos(), 0);
    EXPECT_EQ(reader.Length(), 0);
    EXPECT_EQ(reader.SampleStart(), 0);
    EXPECT_EQ(reader.SampleEnd(), 0);

    TAudioFileReader mono(Write("mono8.wav", TFileKind::Wav8, Tone(22050, 1, 0.2)));
    EXPECT_EQ(mono.Format().nChannels, 1);
    EXPECT_EQ(mono.Format().nSamplesPerSec, 22050u);
    EXPECT_EQ(mono.Format().wBitsPerSample, 8);
    EXPECT_EQ(mono.Format().nBlockAlign, 1);
    EXPECT_EQ(mono.Duration(), 200 * Ms);
    EXPECT_EQ(ReadToEnd(mono).size(), 4410u);
}

TEST_F(AudioFileRead, ReadingToTheEndGivesEveryByteThenZeroAndSeekZeroReadsItAgain) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    const std::int32_t first = reader.Read(buffer.data(), 65536);
    EXPECT_EQ(first, 17640);  // one piece of 100 ms
    EXPECT_EQ(reader.SampleStart(), 0);
    EXPECT_EQ(reader.SampleEnd(), 100 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 100 * Ms);

    std::vector<BYTE> all(buffer.begin(), buffer.begin() + first);
    const std::vector<BYTE> rest = ReadToEnd(reader);
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all.size(), 176400u);
    EXPECT_EQ(reader.CurrentPos(), 1000 * Ms);
    EXPECT_EQ(reader.SampleEnd(), 1000 * Ms);

    EXPECT_EQ(reader.Read(buffer.data(), 65536), 0);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 0);
    EXPECT_EQ(reader.CurrentPos(), 1000 * Ms);

    reader.Seek(0);
    EXPECT_EQ(reader.CurrentPos(), 0);
    // Another buffer size and address on the way: the data stays the same.
    EXPECT_EQ(ReadToEnd(reader, 4000), all);
}

TEST_F(AudioFileRead, ARangeOf10msCutsTheFirstPieceTo1764Bytes) {
    TAudioFileReader reader(Stereo44k());
    reader.SetLength(10 * Ms);
    EXPECT_EQ(reader.Length(), 10 * Ms);
    std::vector<BYTE> buffer(65536);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 1764);
    EXPECT_EQ(reader.SampleStart(), 0);
    EXPECT_EQ(reader.SampleEnd(), 10 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 10 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 0);
    EXPECT_EQ(reader.CurrentPos(), 10 * Ms);
}

TEST_F(AudioFileRead, TheCutIsRoundedDownToWholeFramesAndTheRangeReadsFromItsStart) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    // 17640 * 101000 / 1000000 = 1781.6: 1781 bytes, down to 1780 for frames of 4 bytes.
    reader.SetLength(101000);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 1780);
    EXPECT_EQ(reader.SampleEnd(), 101000);

    // A range from 200 ms to 350 ms: one whole piece, then half of the next.
    reader.SetStartPos(200 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 101000);  // the seek was clamped by the range as it stood
    reader.SetLength(150 * Ms);
    reader.Seek(0);
    EXPECT_EQ(reader.CurrentPos(), 200 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 17640);
    EXPECT_EQ(reader.SampleStart(), 200 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 8820);
    EXPECT_EQ(reader.SampleStart(), 300 * Ms);
    EXPECT_EQ(reader.SampleEnd(), 350 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 0);
}

TEST_F(AudioFileRead, APieceThatStartsBeyondTheRangeEndGivesZeroNotANegativeCount) {
    // At 22050 Hz the decoder positions on whole frames: a seek to 100050 lands on frame 221,
    // whose piece starts at 100226, beyond a range end of 100100.
    TAudioFileReader reader(Write("mono.wav", TFileKind::Wav16, Tone(22050, 1, 1.0)));
    reader.SetLength(100100);
    reader.Seek(100050);
    std::vector<BYTE> buffer(8192);
    EXPECT_EQ(reader.Read(buffer.data(), 8192), 0);
    EXPECT_LE(reader.SampleStart(), reader.SampleEnd());
    EXPECT_EQ(reader.SampleEnd(), 100100);
    EXPECT_EQ(reader.CurrentPos(), 100100);
    EXPECT_EQ(reader.Read(buffer.data(), 8192), 0);
}

TEST_F(AudioFileRead, SeekIsClampedToTheFileAndTheRange) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    reader.Read(buffer.data(), 65536);
    reader.Seek(-5);
    EXPECT_EQ(reader.CurrentPos(), 0);
    reader.Seek(5000 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 1000 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 0);

    reader.Seek(500 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 500 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 17640);
    EXPECT_EQ(reader.SampleStart(), 500 * Ms);

    reader.SetStartPos(200 * Ms);
    reader.Seek(0);
    EXPECT_EQ(reader.CurrentPos(), 200 * Ms);
    reader.SetLength(300 * Ms);
    reader.Seek(800 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 500 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 0);
}

TEST_F(AudioFileRead, SettersHoldTheirValuesInRange) {
    TAudioFileReader reader(Stereo44k());
    reader.SetStartPos(-1);
    EXPECT_EQ(reader.StartPos(), 0);
    reader.SetLength(1);
    EXPECT_EQ(reader.Length(), 100000);
    reader.SetLength(0);
    reader.SetLength(-7);
    EXPECT_EQ(reader.Length(), 100000);
    reader.SetLength(2000000000000000);
    EXPECT_EQ(reader.Length(), 1000000000000000);
    reader.SetLength(1000000000000000);
    EXPECT_EQ(reader.Length(), 1000000000000000);

    // A start beyond the position moves the position there.
    reader.SetLength(0);
    reader.SetStartPos(300 * Ms);
    EXPECT_EQ(reader.StartPos(), 300 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 300 * Ms);
    // An earlier start leaves the position alone.
    reader.SetStartPos(100 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 300 * Ms);
}

TEST_F(AudioFileRead, ALengthWhoseEndLiesBeforeThePositionRewindsToTheStart) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    for (int i = 0; i < 5; ++i) reader.Read(buffer.data(), 65536);
    EXPECT_EQ(reader.CurrentPos(), 500 * Ms);
    reader.SetLength(600 * Ms);  // ends after the position: stays
    EXPECT_EQ(reader.CurrentPos(), 500 * Ms);
    reader.SetLength(200 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 0);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 17640);
    EXPECT_EQ(reader.SampleStart(), 0);
    // Back to the whole file: the position stays where it is.
    reader.SetLength(0);
    EXPECT_EQ(reader.CurrentPos(), 100 * Ms);
}

TEST_F(AudioFileRead, SetLengthWithTheStoredValueLeavesEvenAStrayPositionAlone) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    reader.SetStartPos(300 * Ms);
    reader.SetLength(10 * Ms);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 1764);
    EXPECT_EQ(reader.CurrentPos(), 310 * Ms);
    // An earlier start puts the range end before the position; the same length changes nothing.
    reader.SetStartPos(0);
    reader.SetLength(10 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 310 * Ms);
    // Another length whose end lies before the position rewinds.
    reader.SetLength(20 * Ms);
    EXPECT_EQ(reader.CurrentPos(), 0);
}

TEST_F(AudioFileRead, ReadOfZeroBytesRaisesInvalidBufferSizeEvenAtTheRangeEnd) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    EAudioReadError error = ErrorOf([&] { reader.Read(buffer.data(), 0); });
    EXPECT_EQ(error.ErrorCode, 0x08000001);
    EXPECT_EQ(error.Message(), "Invalid buffer size.");
    reader.SetLength(10 * Ms);
    reader.Read(buffer.data(), 65536);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 0);
    error = ErrorOf([&] { reader.Read(buffer.data(), 0); });
    EXPECT_EQ(error.ErrorCode, 0x08000001);
}

TEST_F(AudioFileRead, ABufferTheStreamRefusesRaisesAndIsOfferedAgainNextTime) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 17640);
    // Smaller than one frame of 4 bytes.
    EXPECT_EQ(ErrorOf([&] { reader.Read(buffer.data(), 3); }).ErrorCode, E_INVALIDARG);
    EXPECT_EQ(ErrorOf([&] { reader.Read(nullptr, 4096); }).ErrorCode, E_POINTER);
    EXPECT_EQ(ErrorOf([&] { reader.Read(nullptr, 4096); }).ErrorCode, E_POINTER);
    EXPECT_EQ(reader.Read(buffer.data(), 65536), 17640);
    EXPECT_EQ(reader.SampleStart(), 100 * Ms);
}

TEST_F(AudioFileRead, MissingTextAndTruncatedFilesFailWithCodeAndText) {
    EAudioReadError missing = ErrorOf([&] { TAudioFileReader reader((FDir / "nothing.wav").string()); });
    EXPECT_EQ(missing.ErrorCode, DSHOW_E_FILENOTFOUND);
    EXPECT_EQ(missing.Message(), "The sound file was not found.");
    EXPECT_EQ(missing.ClassName(), "EAudioReadError");

    const std::string text = (FDir / "readme.wav").string();
    std::ofstream(text) << "Nur ein Text, kein Klang.\n";
    EAudioReadError notSound = ErrorOf([&] { TAudioFileReader reader(text); });
    EXPECT_EQ(notSound.ErrorCode, DSHOW_E_NOTSOUND);
    EXPECT_EQ(notSound.Message(), "The file is not a sound file that can be decoded.");

    const std::string cut = Stereo44k();
    fs::resize_file(cut, fs::file_size(cut) / 2);
    EAudioReadError truncated = ErrorOf([&] { TAudioFileReader reader(cut); });
    EXPECT_EQ(truncated.ErrorCode, DSHOW_E_TRUNCATED);
    EXPECT_EQ(truncated.Message(), "The sound file is damaged or cut short.");
}

TEST_F(AudioFileRead, WideAndCompressedFormats) {
    const TSound sound = Tone(44100, 2, 0.5);
    TAudioFileReader wide(Write("wide.wav", TFileKind::Wav24, sound));
    EXPECT_EQ(wide.Format().wBitsPerSample, 24);
    EXPECT_EQ(wide.Format().nBlockAlign, 6);
    EXPECT_EQ(ReadToEnd(wide).size(), 22050u * 6);

    TAudioFileReader flac(Write("lossless.flac", TFileKind::Flac16, sound));
    EXPECT_EQ(flac.Format().wBitsPerSample, 16);
    EXPECT_EQ(flac.Duration(), 500 * Ms);
    EXPECT_EQ(ReadToEnd(flac).size(), 88200u);

    TAudioFileReader mp3(Write("lossy.mp3", TFileKind::Mp3, sound));
    EXPECT_EQ(mp3.Format().wBitsPerSample, 16);
    EXPECT_EQ(mp3.Format().nChannels, 2);
    EXPECT_NEAR(static_cast<double>(mp3.Duration()), 500.0 * Ms, 100.0 * Ms);
    EXPECT_NEAR(static_cast<double>(ReadToEnd(mp3).size()), 88200.0, 17640.0);
}

TEST_F(AudioFileRead, FileNamesWithUmlautsOpen) {
    TAudioFileReader reader(Write("Drehfalttür_zu.wav", TFileKind::Wav16, Tone(44100, 1, 0.1)));
    EXPECT_EQ(reader.Duration(), 100 * Ms);
}

TEST(CheckStreamResult, ZeroReturnsEveryOtherCodeRaisesWithItsText) {
    EXPECT_NO_THROW(CheckStreamResult(0));
    struct {
        HRESULT code;
        const char* text;
    } const cases[] = {
        {0x00040001, "The asynchronous update is pending."},
        {0x00040003, "Reached the end of the stream; the sample wasn't updated."},
        {static_cast<HRESULT>(0x80040154u), "A specified class is not registered in the registration database."},
        {static_cast<HRESULT>(0x8004040Au), "The IMultiMediaStream object is not in running state."},
        {static_cast<HRESULT>(0x80070057u), "One of the parameters is invalid."},
        {DSHOW_E_FILEUNREADABLE, "The sound file cannot be read."},  // the system's own text
        {static_cast<HRESULT>(0x80004005u), "Unrecognized error value."},
        {1, "Unrecognized error value."},
    };
    for (const auto& c : cases) {
        try {
            CheckStreamResult(c.code);
            ADD_FAILURE() << std::hex << c.code << " did not raise";
        } catch (const EAudioReadError& error) {
            EXPECT_EQ(error.ErrorCode, c.code);
            EXPECT_EQ(error.Message(), c.text);
        }
    }
}

// The real multimedia stream and its graph, wrapped so that a test sees the graph calls and can
// make the stop or the seek fail.
struct TWatch {
    bool RefuseStop = false;
    bool RefuseSeek = false;
    int GraphCalls = 0;
    int WrappersAlive = 0;
} watch;
LPFNCREATECLASSOBJECT realStreamClass = nullptr;

class TWatchedGraph : public TComObject<IGraphBuilder, IMediaControl, IMediaSeeking> {
public:
    explicit TWatchedGraph(IGraphBuilder* inner) : FInner(inner) {
        ++watch.WrappersAlive;
        inner->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&FControl));
        inner->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&FSeeking));
    }
    HRESULT Run() override {
        ++watch.GraphCalls;
        return FControl->Run();
    }
    HRESULT StopWhenReady() override {
        ++watch.GraphCalls;
        return FControl->StopWhenReady();
    }
    HRESULT GetState(LONG timeout, OAFilterState* state) override {
        ++watch.GraphCalls;
        return FControl->GetState(timeout, state);
    }
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override {
        ++watch.GraphCalls;
        if (watch.RefuseSeek) return MS_E_NOSEEK;
        return FSeeking->SetPositions(current, currentFlags, stop, stopFlags);
    }

protected:
    ~TWatchedGraph() override {
        FSeeking->Release();
        FControl->Release();
        FInner->Release();
        --watch.WrappersAlive;
    }

private:
    IGraphBuilder* FInner;
    IMediaControl* FControl = nullptr;
    IMediaSeeking* FSeeking = nullptr;
};

class TWatchedStream : public TComObject<IAMMultiMediaStream> {
public:
    explicit TWatchedStream(IAMMultiMediaStream* inner) : FInner(inner) { ++watch.WrappersAlive; }
    HRESULT Initialize(STREAM_TYPE t, DWORD f, IGraphBuilder* g) override { return FInner->Initialize(t, f, g); }
    HRESULT GetFilterGraph(IGraphBuilder** graph) override {
        IGraphBuilder* inner = nullptr;
        const HRESULT hr = FInner->GetFilterGraph(&inner);
        if (SUCCEEDED(hr)) *graph = new TWatchedGraph(inner);
        return hr;
    }
    HRESULT AddMediaStream(IUnknown* o, const MSPID* p, DWORD f, IMediaStream** s) override {
        return FInner->AddMediaStream(o, p, f, s);
    }
    HRESULT GetMediaStream(REFMSPID p, IMediaStream** s) override { return FInner->GetMediaStream(p, s); }
    HRESULT OpenFile(LPCWSTR n, DWORD f) override { return FInner->OpenFile(n, f); }
    HRESULT GetDuration(STREAM_TIME* d) override { return FInner->GetDuration(d); }
    HRESULT SetState(STREAM_STATE s) override {
        const HRESULT hr = FInner->SetState(s);
        return s == STREAMSTATE_STOP && watch.RefuseStop ? E_ABORT : hr;
    }

protected:
    ~TWatchedStream() override {
        FInner->Release();
        --watch.WrappersAlive;
    }

private:
    IAMMultiMediaStream* FInner;
};

HRESULT CreateWatchedStream(REFIID riid, LPVOID* object) {
    void* inner = nullptr;
    const HRESULT hr = realStreamClass(IID_IAMMultiMediaStream, &inner);
    if (FAILED(hr)) return hr;
    auto* wrapper = new TWatchedStream(static_cast<IAMMultiMediaStream*>(inner));
    const HRESULT result = wrapper->QueryInterface(riid, object);
    wrapper->Release();
    return result;
}

class AudioFileReadWatched : public AudioFileRead {
protected:
    void SetUp() override {
        AudioFileRead::SetUp();
        watch = TWatch{};
        realStreamClass = CoRegisterLayerClass(CLSID_AMMultiMediaStream, CreateWatchedStream);
        ASSERT_NE(realStreamClass, nullptr);
    }
    void TearDown() override {
        CoRegisterLayerClass(CLSID_AMMultiMediaStream, realStreamClass);
        EXPECT_EQ(watch.WrappersAlive, 0);
        AudioFileRead::TearDown();
    }
};

TEST_F(AudioFileReadWatched, DestructionReportsAFailedStopWithoutThrowingAndReleasesEverything) {
    watch.RefuseStop = true;
    const std::string path = Stereo44k(0.2);
    auto* reader = new TAudioFileReader(path);
    std::vector<BYTE> buffer(4096);
    EXPECT_GT(reader->Read(buffer.data(), 4096), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(delete reader);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("The update aborted."), std::string::npos) << report;
    EXPECT_NE(report.find(path), std::string::npos) << report;
    EXPECT_EQ(watch.WrappersAlive, 0);
}

TEST_F(AudioFileReadWatched, AFailedOpeningRaisesItsOwnErrorNotTheFailedStop) {
    watch.RefuseStop = true;
    ::testing::internal::CaptureStderr();
    const EAudioReadError error = ErrorOf([&] { TAudioFileReader reader((FDir / "absent.wav").string()); });
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(error.ErrorCode, DSHOW_E_FILENOTFOUND);
    EXPECT_NE(report.find("The update aborted."), std::string::npos) << report;
    EXPECT_EQ(watch.WrappersAlive, 0);
}

TEST_F(AudioFileReadWatched, ASeekToTheCurrentPositionCallsNothingAndOthersStopPositionRunAndWait) {
    TAudioFileReader reader(Stereo44k());
    reader.Seek(0);
    EXPECT_EQ(watch.GraphCalls, 0);
    reader.Seek(300 * Ms);
    EXPECT_EQ(watch.GraphCalls, 4);
    reader.Seek(300 * Ms);
    EXPECT_EQ(watch.GraphCalls, 4);
}

TEST_F(AudioFileReadWatched, AFailedSeekRaisesAndLeavesThePosition) {
    TAudioFileReader reader(Stereo44k());
    std::vector<BYTE> buffer(65536);
    reader.Read(buffer.data(), 65536);
    watch.RefuseSeek = true;
    const EAudioReadError error = ErrorOf([&] { reader.Seek(500 * Ms); });
    EXPECT_EQ(error.ErrorCode, MS_E_NOSEEK);
    EXPECT_EQ(error.Message(), "One or more media streams don't support seeking.");
    EXPECT_EQ(reader.CurrentPos(), 100 * Ms);
}

}  // namespace
