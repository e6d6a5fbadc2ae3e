#include "alerts/soundplayer.h"
#include "platform/canberrasoundbackend.h"
#include "platform/fakes.h"
#include "platform/settingspreferences.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include "../testbase.h"

#include <memory>

#include <cerrno>
#include <csignal>
#include <sys/types.h>

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
        return test::writeFile(d.filePath("sounds/freedesktop/stereo/" + name), {});
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

namespace {
QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
}
bool gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; } // reaped, not a zombie
} // namespace

TEST(CanberraBackend, TheHelperComesWithSoundsLeavesWhenIdleAndIsStartedAnewAfterAKill)
{
    QTemporaryDir dir(test::testDirTemplate(QStringLiteral("helper")));
    for (const char *name : {"device-added.oga", "bell.oga"})
        ASSERT_TRUE(test::writeFile(dir.filePath(QStringLiteral("sounds/freedesktop/stereo/") + QLatin1String(name)), {}));
    // A helper that writes down what it is told, one line each, under its process id.
    const QString log = dir.filePath("log");
    const QString script = dir.filePath("helper.sh");
    ASSERT_TRUE(test::writeFile(script,
                                QStringLiteral("#!/bin/sh\necho \"$$ start\" >> '%1'\n"
                                               "while IFS= read -r line; do echo \"$$ $line\" >> '%1'; done\n"
                                               "echo \"$$ end\" >> '%1'\n")
                                    .arg(log)
                                    .toUtf8(),
                                true));
    CanberraSoundBackend backend({dir.path()}, script, std::chrono::milliseconds(400));
    for (SoundKind kind : allSoundKinds)
        EXPECT_EQ(backend.load(kind), kind == SoundKind::pop || kind == SoundKind::sosumi);

    backend.play(SoundKind::pop);
    backend.play(SoundKind::sosumi);
    // Both sounds reach one helper, after the sounds to cache; with nothing more to play it
    // is let go and reaped.
    ASSERT_TRUE(waitFor([&] { return readLines(log).size() == 6; })) << readLines(log).join(u'|').toStdString();
    QStringList lines = readLines(log);
    const QString pid = lines.first().section(u' ', 0, 0);
    EXPECT_EQ(lines, (QStringList{pid + " start", pid + " cache device-added", pid + " cache bell",
                                  pid + " play device-added", pid + " play bell", pid + " end"}));
    EXPECT_TRUE(waitFor([&] { return gone(pid.toInt()); }));

    // The next sound starts a new one; a helper killed under it is replaced at the sound after.
    backend.play(SoundKind::pop);
    ASSERT_TRUE(waitFor([&] { return readLines(log).size() >= 10; }));
    const QString second = readLines(log).at(6).section(u' ', 0, 0);
    EXPECT_NE(second, pid);
    EXPECT_EQ(readLines(log).at(9), second + " play device-added");
    ::kill(second.toInt(), SIGKILL);
    QTest::qWait(100);
    backend.play(SoundKind::sosumi);
    ASSERT_TRUE(waitFor([&] { return readLines(log).last().endsWith(" play bell"); }));
    lines = readLines(log);
    EXPECT_NE(lines.last().section(u' ', 0, 0), second);
    EXPECT_TRUE(waitFor([&] { return gone(second.toInt()); }));
}

TEST(CanberraBackend, AHelperThatHangsDoesNotHoldUpTheExit)
{
    QTemporaryDir dir(test::testDirTemplate(QStringLiteral("hang")));
    ASSERT_TRUE(test::writeFile(dir.filePath("sounds/freedesktop/stereo/bell.oga"), {}));
    const QString script = dir.filePath("helper.sh");
    // Never reads, never ends at its input's end; the test's output is not held open.
    ASSERT_TRUE(test::writeFile(
        script, QStringLiteral("#!/bin/sh\necho $$ > '%1'\nexec sleep 30 >/dev/null 2>&1\n").arg(dir.filePath("pid")).toUtf8(),
        true));
    QElapsedTimer clock;
    {
        CanberraSoundBackend backend({dir.path()}, script, std::chrono::milliseconds(100));
        ASSERT_TRUE(backend.load(SoundKind::sosumi));
        backend.play(SoundKind::sosumi);
        QTest::qWait(400); // idle: the helper's input is closed and it is waited for
        clock.start();
    }
    EXPECT_LT(clock.elapsed(), 1000);
    QFile pid(dir.filePath("pid"));
    ASSERT_TRUE(pid.open(QIODevice::ReadOnly));
    const pid_t helper = pid.readAll().trimmed().toInt();
    ASSERT_GT(helper, 1);
    ::kill(helper, SIGKILL);
}

TEST(SoundHelper, SkipsWhatIsNotACommandAndEndsWithItsInput)
{
    QProcess helper;
    helper.start(soundHelperPath(), {});
    ASSERT_TRUE(helper.waitForStarted()) << soundHelperPath().toStdString();
    helper.write(QByteArray(1 << 20, 'p'));                      // a megabyte without a newline
    helper.write("\nplay ../../../etc/passwd\nplay \xff\xfe\ncache\n\n");
    helper.write(QByteArray("play dev\0ice\n", 14));
    helper.write("play " + QByteArray(200, 'a') + "\nsing bell\nplay bell"); // the last one unended
    helper.closeWriteChannel();
    ASSERT_TRUE(helper.waitForFinished(15000));
    EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(helper.exitCode(), 0);
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

