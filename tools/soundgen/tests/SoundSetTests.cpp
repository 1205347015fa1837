#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The names the three programs load from Sounds/.
const std::vector<std::string> WagenklangSounds = {
    "Fahrschalter_0-Ab.wav", "Fahrschalter_Ab-Fahren.wav", "Fahrschalter_Fahren-Auf.wav",
    "Fahrschalter_Auf-Fahren.wav", "Fahrschalter_Fahren-Ab.wav", "Fahrschalter_Ab-0.wav", "FbV_Raste.wav",
    "FbV_anlegen.wav", "FbV_loesen.wav", "FbV_SB.wav", "DynBr_Raste.wav", "ZusBr_anlegen.wav", "ZusBr_Mitte.wav",
    "ZusBr_loesen.wav", "Rischa_0.wav", "Rischa_Richtung.wav", "Kippschalter_einlegen.wav",
    "Kippschalter_auslegen.wav", "TB0.wav", "Tuerschalter_SAT.wav", "Drehfalttuer_Bn_auf.wav",
    "Drehfalttuer_Bn_zu.wav", "Drehfalttuer_By_zu.wav", "Schwenkschiebetuer_auf.wav", "Schwenkschiebetuer_zu.wav"};
const std::vector<std::string> LokklangSounds = {"FML_Anfang.wav", "FML_Loop.wav", "FML_Ende.wav", "MTS.wav",
                                                 "MTS_abreissen.wav", "HSein.wav", "HSaus.wav", "Umformer.wav"};
const std::vector<std::string> TriebklangSounds = {
    "610_Rauschen-Loesen.wav", "610_Rauschen-Anlegen.wav", "610_Rauschen-Schnellbr.wav", "610_Rischa-0.wav",
    "610_Rischa-VR.wav", "610_Tuerwahlschalter.wav", "610_Kippschalter-einlegen.wav",
    "610_Kippschalter-auslegen.wav", "610_MGs-runter.wav", "610_MGs-rauf.wav", "610_Tueren-auf.wav"};
const std::vector<std::string> LoopSounds = {"FML_Loop.wav", "Umformer.wav"};

struct TDecoded {
    SF_INFO Info{};
    std::vector<float> Samples;  // interleaved

    std::vector<float> Channel(int c) const {
        std::vector<float> out;
        for (size_t i = static_cast<size_t>(c); i < Samples.size(); i += static_cast<size_t>(Info.channels))
            out.push_back(Samples[i]);
        return out;
    }
};

bool Decode(const fs::path& path, TDecoded& decoded) {
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &decoded.Info);
    if (file == nullptr) return false;
    decoded.Samples.resize(static_cast<size_t>(decoded.Info.frames * decoded.Info.channels));
    const sf_count_t got = sf_readf_float(file, decoded.Samples.data(), decoded.Info.frames);
    sf_close(file);
    return got == decoded.Info.frames;
}

double Db(double value) { return 20 * std::log10(std::max(value, 1e-9)); }

double Rms(const std::vector<float>& samples, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += samples[i] * samples[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

std::vector<std::string> AllSounds() {
    std::vector<std::string> all = WagenklangSounds;
    all.insert(all.end(), LokklangSounds.begin(), LokklangSounds.end());
    all.insert(all.end(), TriebklangSounds.begin(), TriebklangSounds.end());
    return all;
}

const fs::path SoundsDir = KLANG_SOUNDS_DIR;

TEST(SoundSet, TheBuildWritesExactlyTheFilesOfTheThreePrograms) {
    ASSERT_EQ(WagenklangSounds.size(), 25u);
    ASSERT_EQ(LokklangSounds.size(), 8u);
    ASSERT_EQ(TriebklangSounds.size(), 11u);
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(SoundsDir)) found.insert(entry.path().filename().string());
    const std::vector<std::string> all = AllSounds();
    EXPECT_EQ(found, std::set<std::string>(all.begin(), all.end()));
}

TEST(SoundSet, EveryFileDecodesToPcmTheEngineTakesAtASensibleLevel) {
    int eightBit = 0, halfRateMono = 0, cdStereo = 0;
    for (const std::string& name : AllSounds()) {
        TDecoded sound;
        ASSERT_TRUE(Decode(SoundsDir / name, sound)) << name;
        const int subtype = sound.Info.format & SF_FORMAT_SUBMASK;
        EXPECT_EQ(sound.Info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV) << name;
        EXPECT_TRUE(subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_16) << name;
        EXPECT_TRUE(sound.Info.channels == 1 || sound.Info.channels == 2) << name;
        const double seconds = static_cast<double>(sound.Info.frames) / sound.Info.samplerate;
        EXPECT_GE(seconds, 0.1) << name;
        EXPECT_LE(seconds, 10.0) << name;
        float peak = 0;
        for (float s : sound.Samples) peak = std::max(peak, std::fabs(s));
        EXPECT_LT(Db(peak), -1.0) << name << ": too close to clipping";
        EXPECT_GT(Db(peak), -16.0) << name << ": too quiet";
        eightBit += subtype == SF_FORMAT_PCM_U8;
        halfRateMono += sound.Info.samplerate == 22050 && sound.Info.channels == 1;
        cdStereo += sound.Info.samplerate == 44100 && sound.Info.channels == 2 && subtype == SF_FORMAT_PCM_16;
    }
    EXPECT_GE(eightBit, 1);
    EXPECT_GE(halfRateMono, 3);
    EXPECT_GT(cdStereo, 30);
}

TEST(SoundSet, LoopsJoinWithoutAClick) {
    for (const std::string& name : LoopSounds) {
        TDecoded sound;
        ASSERT_TRUE(Decode(SoundsDir / name, sound)) << name;
        for (int c = 0; c < sound.Info.channels; ++c) {
            const std::vector<float> samples = sound.Channel(c);
            float largestStep = 0;
            for (size_t i = 1; i < samples.size(); ++i)
                largestStep = std::max(largestStep, std::fabs(samples[i] - samples[i - 1]));
            const float joint = std::fabs(samples.front() - samples.back());
            EXPECT_LE(joint, largestStep) << name << " channel " << c;
            // Nor does the loudness jump: the first and last 50 ms are alike.
            const size_t window = static_cast<size_t>(sound.Info.samplerate / 20);
            EXPECT_NEAR(Db(Rms(samples, 0, window)), Db(Rms(samples, samples.size() - window, samples.size())), 1.5)
                << name;
        }
    }
}

TEST(SoundSet, TheFanSoundsMeetAtTheSameLoudness) {
    TDecoded runUp, loop, runDown;
    ASSERT_TRUE(Decode(SoundsDir / "FML_Anfang.wav", runUp));
    ASSERT_TRUE(Decode(SoundsDir / "FML_Loop.wav", loop));
    ASSERT_TRUE(Decode(SoundsDir / "FML_Ende.wav", runDown));
    const std::vector<float> up = runUp.Channel(0), steady = loop.Channel(0), down = runDown.Channel(0);
    const size_t window = 44100 / 4;
    const double loopLevel = Db(Rms(steady, 0, steady.size()));
    // The loop takes over from the run-up at 5.25 s, and the run-down from the loop.
    EXPECT_NEAR(Db(Rms(up, 5 * 44100, 5 * 44100 + window)), loopLevel, 2.0);
    EXPECT_NEAR(Db(Rms(down, 0, window)), loopLevel, 2.5);
    // The run-up starts from standstill and the run-down ends there.
    EXPECT_LT(Db(Rms(up, 0, window)), loopLevel - 20);
    EXPECT_LT(Db(Rms(down, down.size() - window, down.size())), loopLevel - 20);
}

TEST(SoundSet, TheGeneratorWritesTheSameFilesOnEveryRun) {
    const fs::path again = fs::temp_directory_path() / ("soundgen-again-" + std::to_string(::getpid()));
    const std::string command = std::string("\"") + SOUNDGEN_PROGRAM + "\" \"" + again.string() + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const std::string& name : AllSounds()) {
        std::ifstream a(SoundsDir / name, std::ios::binary), b(again / name, std::ios::binary);
        const std::string first((std::istreambuf_iterator<char>(a)), {}), second((std::istreambuf_iterator<char>(b)), {});
        EXPECT_FALSE(first.empty()) << name;
        EXPECT_TRUE(first == second) << name;
    }
    fs::remove_all(again);
}

TEST(SoundSet, TheGeneratorRefusesAMissingFolderArgumentAndAnUnwritableFolder) {
    EXPECT_NE(std::system((std::string("\"") + SOUNDGEN_PROGRAM + "\" 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((std::string("\"") + SOUNDGEN_PROGRAM + "\" /proc/soundgen-cannot-be-here 2>/dev/null").c_str()), 0);
}

}  // namespace
