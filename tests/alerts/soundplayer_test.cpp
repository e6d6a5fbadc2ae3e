#include "alerts/soundplayer.h"
#include "platform/canberrasoundbackend.h"
#include "platform/fakes.h"
#include "platform/settingspreferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "../testbase.h"

#include <memory>

using namespace tsav;

namespace {

class SoundPlayerTest : public ::testing::Test {
protected:
    RecordingSoundBackend sounds;
    RecordingHapticPerformer haptics;
    MemoryPreferences prefs;
    std::unique_ptr<SoundPlayer> player = std::make_unique<SoundPlayer>(&sounds, &haptics, &prefs);
};

bool waitFor(const std::function<bool()> &done) { return QTest::qWaitFor(done, 5000); }

} // namespace

// --- the player -------------------------------------------------------------------------

TEST_F(SoundPlayerTest, SoundsFollowTheSwitchHapticsDoNot)
{
    player->play(SoundKind::glass); // never written: on
    prefs.setBool(kSoundsEnabledKey, false);
    player->play(SoundKind::funk);
    player->play(SoundKind::funk, 0.01);
    player->haptic(HapticPattern::levelChange);
    player->alertHaptic();
    prefs.setBool(kSoundsEnabledKey, true);
    player->play(SoundKind::tink);

    ASSERT_TRUE(waitFor([&] { return haptics.pulses.size() == 3; }));
    QTest::qWait(100);
    EXPECT_EQ(sounds.kinds(), (QList<SoundKind>{SoundKind::glass, SoundKind::tink}));
    EXPECT_EQ(haptics.patterns(), (QList<HapticPattern>{HapticPattern::levelChange,
                                                        HapticPattern::generic,
                                                        HapticPattern::generic}));
    EXPECT_GE(haptics.pulses[2].atMs - haptics.pulses[1].atMs, 79);
}

TEST_F(SoundPlayerTest, DelayedPlayScheduledWhileOnStillPlaysAfterSwitchingOff)
{
    player->play(SoundKind::basso, 0.05);
    prefs.setBool(kSoundsEnabledKey, false);
    EXPECT_TRUE(sounds.plays.isEmpty());
    ASSERT_TRUE(waitFor([&] { return sounds.plays.size() == 1; }));
    EXPECT_EQ(sounds.plays[0].kind, SoundKind::basso);
}

TEST_F(SoundPlayerTest, DelayedJobsOfADestroyedPlayerDoNothing)
{
    player->play(SoundKind::basso, 0.02);
    player->alertHaptic();
    player.reset();
    QTest::qWait(150);
    EXPECT_TRUE(sounds.plays.isEmpty());
    EXPECT_EQ(haptics.pulses.size(), 1); // only the immediate pulse
}

TEST(SoundPlayerCache, MissingSoundIsSkippedAndPlaysSilently)
{
    RecordingSoundBackend sounds({SoundKind::frog, SoundKind::basso});
    RecordingHapticPerformer haptics;
    MemoryPreferences prefs;
    SoundPlayer player(&sounds, &haptics, &prefs);

    EXPECT_EQ(sounds.loaded, QList<SoundKind>(std::begin(allSoundKinds), std::end(allSoundKinds)));
    EXPECT_FALSE(player.isLoaded(SoundKind::basso));
    EXPECT_TRUE(player.isLoaded(SoundKind::sosumi));
    player.play(SoundKind::basso);
    player.play(SoundKind::basso, 0.01);
    player.play(SoundKind::sosumi);
    QTest::qWait(100);
    EXPECT_EQ(sounds.kinds(), QList<SoundKind>{SoundKind::sosumi});
}

// --- preferences --------------------------------------------------------------------------

TEST(Preferences, OnlyBoolsAndTheirTextsCount)
{
    EXPECT_EQ(storedBool(QVariant(true)), true);
    EXPECT_EQ(storedBool(QVariant(false)), false);
    EXPECT_EQ(storedBool(QVariant("true")), true);
    EXPECT_EQ(storedBool(QVariant("false")), false);
    for (const QVariant &v : {QVariant(), QVariant("yes"), QVariant("1"), QVariant("TRUE"),
                              QVariant(" true"), QVariant(""), QVariant(1), QVariant(0.0),
                              QVariant(QStringList{"true"}), QVariant(QVariantMap{})})
        EXPECT_EQ(storedBool(v), std::nullopt) << v.typeName();
}

TEST(Preferences, SettingsFileRoundTripAndHandEditedValues)
{
    QTemporaryDir dir(test::testDirTemplate(QStringLiteral("prefs")));
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("TessalyAntivirus.conf");
    {
        SettingsPreferences prefs(path);
        EXPECT_TRUE(prefs.soundsEnabled());
        EXPECT_FALSE(prefs.voiceEnabled());
        prefs.setBool(kSoundsEnabledKey, false);
        prefs.setBool(kVoiceEnabledKey, true);
    }
    {
        SettingsPreferences prefs(path); // a fresh read from the file's text
        EXPECT_FALSE(prefs.soundsEnabled());
        EXPECT_TRUE(prefs.voiceEnabled());
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("[General]\ntsav.sounds_enabled=no\ntsav.voice_enabled=1\n");
    f.close();
    SettingsPreferences prefs(path);
    EXPECT_TRUE(prefs.soundsEnabled());  // not a boolean: absent, so on
    EXPECT_FALSE(prefs.voiceEnabled());  // not a boolean: absent, so off
}

// --- the real sound and speech adapters ----------------------------------------------------

TEST(SoundTheme, TenDistinctInstalledSounds)
{
    const QStringList dirs = {QStringLiteral("/usr/share")};
    if (!QFileInfo::exists("/usr/share/sounds/freedesktop/stereo"))
        GTEST_SKIP() << "sound-theme-freedesktop is not installed";
    QSet<QString> files;
    for (SoundKind kind : allSoundKinds) {
        const QString file = findThemeSound(QString::fromLatin1(themeEventId(kind)), dirs);
        ASSERT_FALSE(file.isEmpty()) << themeEventId(kind);
        files.insert(QFileInfo(file).canonicalFilePath());
    }
    EXPECT_EQ(files.size(), soundKindCount); // no two kinds share one recording
}

TEST(SoundTheme, LookupOrderAndRefusals)
{
    QTemporaryDir home(test::testDirTemplate(QStringLiteral("home"))), system(test::testDirTemplate(QStringLiteral("sys")));
    auto put = [](const QTemporaryDir &d, const QString &name) {
        QDir().mkpath(d.filePath("sounds/freedesktop/stereo"));
        QFile f(d.filePath("sounds/freedesktop/stereo/" + name));
        return f.open(QIODevice::WriteOnly);
    };
    ASSERT_TRUE(put(system, "bell.oga"));
    ASSERT_TRUE(put(home, "bell.wav"));
    ASSERT_TRUE(put(system, "complete.ogg"));
    const QStringList dirs = {home.path(), system.path()};
    EXPECT_EQ(findThemeSound("bell", dirs), home.filePath("sounds/freedesktop/stereo/bell.wav"));
    EXPECT_EQ(findThemeSound("complete", dirs),
              system.filePath("sounds/freedesktop/stereo/complete.ogg"));
    EXPECT_EQ(findThemeSound("missing", dirs), QString());
    EXPECT_EQ(findThemeSound("../stereo/bell", dirs), QString());
    EXPECT_EQ(findThemeSound("", dirs), QString());
}

TEST(CanberraBackend, MissingThemeLeavesKindsOutAndBurstsNeverBlock)
{
    QTemporaryDir empty(test::testDirTemplate(QStringLiteral("theme")));
    {
        CanberraSoundBackend backend({empty.path()});
        for (SoundKind kind : allSoundKinds)
            EXPECT_FALSE(backend.load(kind));
    }
    // Real theme, whatever sound server this machine has (often none): a burst of plays
    // queues without waiting and the backend shuts down cleanly.
    CanberraSoundBackend backend;
    for (SoundKind kind : allSoundKinds)
        backend.load(kind);
    for (int i = 0; i < 200; ++i)
        backend.play(allSoundKinds[i % soundKindCount]);
}

