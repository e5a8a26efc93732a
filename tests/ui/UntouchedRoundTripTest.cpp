// Opening a file in a window and saving it without touching anything gives
// back the same file: every profile window over profiles that use the
// limits, and the options dialog over settings files with odd texts. One
// table of windows, one table of files.
#include "RandomProfile.h"
#include "TestSupport.h"
#include "WidgetDriver.h"
#include "platform/Messenger.h"
#include "platform/Paths.h"
#include "profiles/ProfileFile.h"
#include "profiles/ProfileSet.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "ui/options/frmOptions.h"
#include "ui/options/frmSettingModem.h"
#include "ui/profile/ExtFileLinkWindows.h"
#include "ui/profile/frmBCTable.h"
#include "ui/profile/frmCopyProfile.h"
#include "ui/profile/frmProfile.h"
#include "ui/profile/frmProfileComm.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>

using namespace vx;
using namespace vx::test;

namespace {

// ---- Profiles -----------------------------------------------------------

// Runs `open`, which shows a modal window of type W, and presses its OK.
template <typename W>
void okOn(const std::function<void()> &open)
{
    ui::whenModal<W>([](W *w) { ui::click(w->Command1); });
    open();
}

void eachFunction(frmProfile &w, const std::function<void()> &act)
{
    for (int n = 0; n < 5; ++n) {
        ui::reveal(w.optFunction[size_t(n)]);
        ui::click(w.optFunction[size_t(n)]);
        act();
    }
    ui::click(w.optFunction[0]);
}

struct ProfileWindow {
    const char *name;
    std::function<void(frmProfile &)> visit; // looks, opens and closes; changes nothing
};

const ProfileWindow kProfileWindows[] = {
    {"the profile editor", [](frmProfile &) {}},
    {"every function, tab and list page shown",
     [](frmProfile &w) {
         eachFunction(w, [&] {
             for (int t = 0; t < w.tabFunction->count(); ++t)
                 w.tabFunction->setCurrentIndex(t);
         });
         for (int n = 4; n >= 0; --n)
             ui::click(w.optModemProfile[size_t(n)]);
         for (int t = 0; t < w.tabProfile->count(); ++t)
             w.tabProfile->setCurrentIndex(t);
         for (int c = 0; c < 10; ++c)
             w.cmbConstant->setCurrentIndex(c);
         for (int e = 0; e < 5; ++e)
             w.cmbExtFile->setCurrentIndex(e);
         ui::click(w.optAsAscii);
         ui::click(w.optAsString);
     }},
    {"communication settings, OK",
     [](frmProfile &w) { eachFunction(w, [&] { okOn<frmProfileComm>([&] { ui::click(w.cmdCommSettings); }); }); }},
    {"barcode tables, OK",
     [](frmProfile &w) {
         for (auto &row : w.fields) {
             ui::reveal(row.cmdBCTable);
             okOn<frmBCTable>([&] { ui::click(row.cmdBCTable); });
         }
     }},
    {"look-up link windows, OK",
     [](frmProfile &w) {
         ui::reveal(w.cmdJoinKey);
         okOn<frmExtFileJoinKey>([&] { ui::click(w.cmdJoinKey); });
         okOn<frmExtFileFieldsToShow>([&] { ui::click(w.cmdDefine[0]); });
         okOn<frmExtFileFiledsToRetrieve>([&] { ui::click(w.cmdDefine[1]); });
         okOn<frmExtFileFieldsToUpdate>([&] { ui::click(w.cmdDefine[2]); });
     }},
    {"profile copy, cancelled",
     [](frmProfile &w) {
         ui::whenModal<frmCopyProfile>([](frmCopyProfile *c) { ui::click(c->cmdCancel); });
         w.mnuCopyProfile->trigger();
     }},
};

// Profiles that use the limits: 20-character names, every function in use
// with a look-up file and all its modes, every field separator code, the
// three families; and the default profile.
struct ProfileCase {
    const char *name;
    std::function<ProfileSet()> make;
};

ProfileSet limits(unsigned seed, const char *family, int separator)
{
    std::mt19937 rng(seed);
    ProfileSet set = RandomProfile(rng, true);
    set.TerminalFamily = QLatin1String(family);
    for (int n = 0; n < 5; ++n) {
        ProfileFunction &f = set.Functions[size_t(n)];
        for (int i = 0; i < 8; ++i)
            f.Fields[size_t(i)].Name = QStringLiteral("F%1 of %2 twenty ch").arg(i).arg(n).leftJustified(20, 'x');
        f.Comm.FieldSeparatorCode = qint16((separator + n * 37) % 256);
        f.Comm.DecimalSeparatorCode = qint16((separator + n * 53 + 1) % 256);
    }
    // Function 1 uses a look-up file, its keys and all three modes, so
    // every look-up window opens on it.
    ProfileFunction &first = set.Functions[0];
    first.ExtLink.FileNumber = 2;
    first.ExtLink.QueryActive = first.ExtLink.RetrieveActive = first.ExtLink.UpdateActive = 1;
    for (int k = 0; k < 4; ++k)
        set.ExtFileLayouts[1].KeyTo[size_t(k)] = QString::number(10 * (k + 1));
    return set;
}

const ProfileCase kProfiles[] = {
    {"default profile",
     [] {
         ProfileSet set;
         set.SetDefault();
         set.TerminalFamily = QStringLiteral("8000");
         return set;
     }},
    {"family 711 at the limits", [] { return limits(711, "711", 0); }},
    {"family 8000 at the limits", [] { return limits(8000, "8000", 100); }},
    {"family 8300 at the limits", [] { return limits(8300, "8300", 200); }},
};

} // namespace

TEST(UntouchedRoundTrip, EveryProfileWindowGivesBackTheSameFile)
{
    TempHome home;
    ScriptedMessenger messenger;
    Messenger::setCurrent(&messenger);
    int n = 0;
    for (const ProfileCase &p : kProfiles) {
        const QString source = home.file(QStringLiteral("source%1.VDX").arg(n++));
        ASSERT_TRUE(WriteProfileFile(p.make(), source));
        ProfileSet read;
        read.SetDefault();
        ASSERT_TRUE(ReadProfileFile(source, read, messenger)) << p.name;
        for (const ProfileWindow &window : kProfileWindows) {
            SCOPED_TRACE(std::string(p.name) + ", " + window.name);
            messenger.clear();
            ProfileWorkspace ws;
            frmProfile editor(ws, messenger);
            editor.show();
            messenger.fileAnswers = {source};
            editor.mnuOpen->trigger();
            window.visit(editor);
            const QString saved = home.file("saved.VDX");
            messenger.fileAnswers = {saved};
            messenger.answers = {MsgAnswer::No}; // no download
            editor.mnuSaveAs->trigger();
            EXPECT_EQ(messenger.texts(), QStringList({"Do you want to download the profile?"}));

            ProfileSet back;
            back.SetDefault();
            ASSERT_TRUE(ReadProfileFile(saved, back, messenger));
            EXPECT_TRUE(back == read);
            // The program wrote the source: byte for byte.
            const QList<QByteArray> want = readFile(source).split('\n');
            const QList<QByteArray> got = readFile(saved).split('\n');
            EXPECT_EQ(got.size(), want.size());
            for (int l = 0; l < qMin(got.size(), want.size()); ++l)
                ASSERT_EQ(got[l].toStdString(), want[l].toStdString()) << "line " << l + 1;
            editor.hide();
        }
    }
    Messenger::setCurrent(nullptr);
}

// ---- Settings ---------------------------------------------------------------

namespace {

// The KEY=VALUE lines of a settings file, each as "[Section]Key=Value", in order.
QStringList settingsLines(const QString &path)
{
    QStringList out;
    QString section;
    for (const QByteArray &raw : readFile(path).split('\n')) {
        const QString line = QString::fromLatin1(raw).remove(QLatin1Char('\r'));
        if (line.startsWith(QLatin1Char('[')))
            section = line;
        else if (line.contains(QLatin1Char('=')))
            out << section + line;
    }
    return out;
}

struct OptionsWindow {
    const char *name;
    std::function<void(frmOptions &)> visit; // ends with the dialog saved and closed
};

const OptionsWindow kOptionsWindows[] = {
    {"options, OK", [](frmOptions &d) { ui::click(d.cmdOK); }},
    {"options, every tab shown, Apply then OK",
     [](frmOptions &d) {
         for (int t = 0; t < 3; ++t)
             d.tabOptions->setCurrentIndex(t);
         for (int i = 0; i < 4; ++i)
             d.tabChannels->setCurrentIndex(i);
         for (int k = 0; k < 5; ++k)
             d.tabFiles->setCurrentIndex(k);
         ui::click(d.cmdApply);
         ui::click(d.cmdOK);
     }},
    {"modem settings of every channel, OK",
     [](frmOptions &d) {
         for (int i = 1; i <= 4; ++i) {
             ui::whenModal<frmSettingModem>([](frmSettingModem *m) { ui::click(m->cmdOK); });
             ui::reveal(d.cmdSettingModem[size_t(i)]);
             ui::click(d.cmdSettingModem[size_t(i)]);
         }
         ui::click(d.cmdOK);
     }},
};

struct Key {
    const char *section;
    const char *key;
    const char *value;
};

// What the first save writes differently in a file of defaults: the
// writer's normalisations, which keep what each value means (flags without
// their blank, the run options as words, the interval of a channel that
// does not collect automatically in two digits from 02).
std::vector<Key> defaultNormalisations()
{
    static const char *const ext[] = {"ExtFile(1)", "ExtFile(2)", "ExtFile(3)", "ExtFile(4)", "ExtFile(5)"};
    static const char *const com[] = {"Com(1)", "Com(2)", "Com(3)", "Com(4)"};
    std::vector<Key> keys;
    for (const char *section : ext) {
        keys.push_back({section, "DelAfterSend", "1"});
        keys.push_back({section, "isZucchetti", "0"});
    }
    for (const char *section : com)
        keys.push_back({section, "AutoSec", "02"});
    keys.push_back({"Misc", "RunNormal", "True"});
    keys.push_back({"Misc", "RunIconized", "False"});
    keys.push_back({"Misc", "RunMinimized", "False"});
    return keys;
}

// A settings file, and the lines the first save writes differently from
// the defaults' normalisations.
struct SettingsCase {
    const char *name;
    std::vector<Key> stored;
    std::vector<Key> normalised;
};

const SettingsCase kSettings[] = {
    {"the defaults", {}, {}},
    {"odd texts",
     {{"Com(1)", "ConnProtocol", "ACK/NAK "},
      {"Com(1)", "Auto", "1"},
      {"Com(1)", "AutoSec", "120"},
      {"Com(1)", "Speed", "76800"},
      {"Com(1)", "Port", "COM3"},
      {"Com(2)", "ConnType", "TCP "},
      {"Com(2)", "Auto", "True"},
      {"Com(2)", "AutoSec", "5"},
      {"Com(2)", "Parity", "Even"},
      {"Com(2)", "IP1", " 10"},
      {"Com(2)", "IP2", " 168"},
      {"Com(2)", "IP5", "4001"},
      {"Com(2)", "ResetModem", "ATZ"},
      {"Com(3)", "Auto", "1"},
      {"Com(3)", "AutoSec", "00"},
      {"Com(3)", "DataBits", "9"},
      {"Com(4)", "AutoSec", "0"},
      {"Com(4)", "FlowControl", "None "},
      {"DBMS(1)", "Type", "Paradox"},
      {"DBMS(1)", "Policy", "Sometimes"},
      {"DBMS(1)", "AlwaysOverwrite", "1"},
      {"DBMS(2)", "Policy", "OverWrite"},
      {"DBMS(2)", "AlwaysOverwrite", " 1"},
      {"DBMS(3)", "Type", "PostgreSQL"},
      {"DBMS(3)", "Name", "host=127.0.0.1 dbname=vendrix"},
      {"DBMS(4)", "Name", " /tmp/x.txt "},
      {"ExtFile(2)", "DelAfterSend", " 1"},
      {"ExtFile(3)", "DelAfterSend", " 0"},
      {"ExtFile(3)", "MaxLenght", "40"},
      {"ExtFile(3)", "isZucchetti", "1.0"},
      {"Misc", "RunIconized", "1"},
      {"Misc", "RunNormal", "1"},
      {"Misc", "ProfileMode", "1"},
      {"Misc", "Password", "secret"},
      {"Misc", "ChiavePC", "HKEY_USERS"}},
     {{"Com(1)", "AutoSec", "120"},
      {"Com(3)", "AutoSec", "00"},
      {"Com(2)", "Auto", "1"},
      {"Com(2)", "AutoSec", "05"},
      {"Com(2)", "IP1", "10"},
      {"Com(2)", "IP2", "168"},
      {"Com(4)", "AutoSec", "02"},
      {"DBMS(2)", "AlwaysOverwrite", "0"},
      {"DBMS(4)", "Name", "/tmp/x.txt"},
      {"ExtFile(3)", "DelAfterSend", "0"},
      {"ExtFile(3)", "isZucchetti", "1"},
      {"Misc", "RunIconized", "True"},
      {"Misc", "RunNormal", "False"}}},
};

} // namespace

TEST(UntouchedRoundTrip, OptionsDialogKeepsWhatEveryValueMeans)
{
    for (const SettingsCase &c : kSettings) {
        for (const OptionsWindow &window : kOptionsWindows) {
            SCOPED_TRACE(std::string(c.name) + ", " + window.name);
            TempHome home;
            {
                IniStore store(Paths::settingsFile());
                Settings defaults = Settings::defaults();
                SaveSettings(store, defaults);
                for (const Key &k : c.stored)
                    store.write(k.section, k.key, k.value);
            }
            QStringList expected = settingsLines(Paths::settingsFile());
            std::vector<Key> normalised = defaultNormalisations();
            normalised.insert(normalised.end(), c.normalised.begin(), c.normalised.end());
            for (const Key &k : normalised) {
                const QString prefix = QStringLiteral("[%1]%2=").arg(k.section, k.key);
                bool found = false;
                for (QString &line : expected) {
                    if (line.startsWith(prefix, Qt::CaseInsensitive)) {
                        line = line.left(prefix.size()) + k.value;
                        found = true;
                    }
                }
                ASSERT_TRUE(found) << prefix.toStdString();
            }

            // Twice: the first save normalises, the second changes nothing.
            for (int pass = 0; pass < 2; ++pass) {
                IniStore store(Paths::settingsFile());
                Settings settings = Settings::defaults();
                LoadSettings(store, settings);
                ScriptedMessenger messenger;
                frmOptions dialog(settings, store, messenger);
                dialog.show();
                window.visit(dialog);
                EXPECT_FALSE(dialog.isVisible());
                EXPECT_TRUE(messenger.promptsShown.isEmpty());
                const QStringList saved = settingsLines(Paths::settingsFile());
                EXPECT_EQ(saved.size(), expected.size()) << "pass " << pass;
                for (int l = 0; l < qMin(saved.size(), expected.size()); ++l)
                    EXPECT_EQ(saved[l].toStdString(), expected[l].toStdString()) << "pass " << pass;
            }
        }
    }
}
