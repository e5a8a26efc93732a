// Builds the user manual that Help opens: takes pictures of the program's own
// windows (offscreen, in a scratch data folder, with a simulated network
// terminal on channel 1 so the collector shows a real transfer), then renders
// the manual's Markdown as HTML beside its pictures and as the PDF of the
// manual's traditional name. Run at build time, so the pictures never show a
// window as it used to be.
#include "app/CollectorMain.h"
#include "profiles/ProfileFile.h"
#include "profiles/ProfileSet.h"
#include "settings/IniStore.h"
#include "settings/Settings.h"
#include "tools/simterm/SimTerminal.h"
#include "ui/collector/frmMain.h"
#include "ui/options/frmOptions.h"
#include "ui/profile/frmProfile.h"
#include "ui/transfer/frmSettingsReceive.h"
#include "ui/transfer/frmSettingsSend.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QWidget>
#include <cstdio>
#include <functional>

namespace {

using namespace vx;
using vx::sim::SimTerminal;

void fail(const QString &what)
{
    std::fprintf(stderr, "make_manual: %s\n", qPrintable(what));
    std::exit(1);
}

void settle(int ms, const std::function<bool()> &done = {})
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && !(done && done())) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void shoot(QWidget &window, const QString &file)
{
    window.show();
    settle(150);
    if (!window.grab().save(file, "PNG"))
        fail(QStringLiteral("cannot write the picture %1").arg(file));
}

// The scratch data folder: channel 1 on a network terminal at port, storing
// into a CSV file; the profile mode on, so the Profiles entry shows.
void writeSettings(const QString &home, quint16 port)
{
    IniStore store(QDir(home).filePath(QStringLiteral("Vendrix.ini")));
    const QString com = QStringLiteral("Com(1)");
    store.write(com, QStringLiteral("ConnType"), QStringLiteral("TCP"));
    for (const auto &[key, value] : {std::pair{"IP1", "127"}, {"IP2", "0"}, {"IP3", "0"}, {"IP4", "1"}})
        store.write(com, QLatin1String(key), QLatin1String(value));
    store.write(com, QStringLiteral("IP5"), QString::number(port));
    store.write(QStringLiteral("DBMS(1)"), QStringLiteral("Type"), QStringLiteral("CSV (*.csv)"));
    store.write(QStringLiteral("DBMS(1)"), QStringLiteral("Name"), QDir(home).filePath(QStringLiteral("records.csv")));
    store.write(QStringLiteral("Misc"), QStringLiteral("ProfileMode"), QStringLiteral("1"));
    if (!store.save())
        fail(QStringLiteral("cannot write the scratch settings: %1").arg(store.errorText()));
}

void takePictures(const QString &images)
{
    QTemporaryDir home;
    if (!home.isValid())
        fail(QStringLiteral("no scratch folder"));
    qputenv("VENDRIX_HOME", QFile::encodeName(home.path()));
    qputenv("VENDRIX_EXCHANGE", QFile::encodeName(home.filePath(QStringLiteral("exchange"))));

    SimTerminal terminal;
    if (!terminal.listenTcp(0))
        fail(QStringLiteral("the simulated terminal cannot listen: %1").arg(terminal.errorText()));
    writeSettings(home.path(), terminal.tcpPort());

    HeadlessMessenger messenger;
    Messenger::setCurrent(&messenger);
    {
        CollectorApp app;
        Collector &c = *app.collector;
        frmMain window(c, app.store, app.settings, app.messenger);
        window.SplashSeconds = 0;
        window.EndProgram = [](int) {};
        window.OpenUrl = [](const QUrl &) { return true; };
        window.resize(760, 560);
        c.setOpenInBackground(true);
        window.Startup();
        c.startTimer();
        if (!terminal.waitForConnected(10000))
            fail(QStringLiteral("the collector did not connect to the simulated terminal"));
        terminal.sendTransfer({"0012345678905", "8001234567891;12", "4006381333931;3"});
        shoot(window, images + QStringLiteral("/collector.png"));
        c.stopTimer();

        // The options as an installer would fill them in: a terminal on the
        // site's network, a target in the user's folder.
        for (const auto &[key, value] : {std::pair{"IP1", "10"}, {"IP2", "0"}, {"IP3", "0"}, {"IP4", "5"}})
            app.store.write(QStringLiteral("Com(1)"), QLatin1String(key), QLatin1String(value));
        app.store.write(QStringLiteral("Com(1)"), QStringLiteral("IP5"), QStringLiteral("9100"));
        app.store.write(QStringLiteral("DBMS(1)"), QStringLiteral("Name"),
                        QStringLiteral("/home/operator/Vendrix/records.csv"));
        LoadSettings(app.store, app.settings);
        frmOptions options(app.settings, app.store, messenger);
        shoot(options, images + QStringLiteral("/options.png"));
    }

    ProfileWorkspace workspace;
    frmProfile editor(workspace, messenger);
    shoot(editor, images + QStringLiteral("/profile.png"));

    ProfileSet profile;
    profile.SetDefault();
    const QString vdx = home.filePath(QStringLiteral("Inventory.VDX"));
    QString error;
    if (!WriteProfileFile(profile, vdx, &error))
        fail(QStringLiteral("cannot write the sample profile: %1").arg(error));
    frmSettingsSend send(vdx, nullptr, nullptr, nullptr, &messenger);
    shoot(send, images + QStringLiteral("/send.png"));
    frmSettingsReceive receive(nullptr, nullptr, nullptr, &messenger);
    shoot(receive, images + QStringLiteral("/receive.png"));
    Messenger::setCurrent(nullptr);
}

QTextDocument *render(const QString &source, const QString &outDir)
{
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1: %2").arg(source, file.errorString()));
    auto *document = new QTextDocument;
    document->setDefaultFont(QFont(QStringLiteral("Sans Serif"), 11));
    // Pictures are named relative to the manual: resolve them in outDir.
    document->setMetaInformation(QTextDocument::DocumentUrl,
                                 QUrl::fromLocalFile(QDir(outDir).filePath(QStringLiteral("index.html"))).toString());
    document->setMarkdown(QString::fromUtf8(file.readAll()));
    document->setMetaInformation(QTextDocument::DocumentTitle, QStringLiteral("Vendrix — the user's manual"));
    return document;
}

void writeHtml(QTextDocument &document, const QString &outDir)
{
    QString html = document.toHtml();
    html.replace(QStringLiteral("<body style=\""),
                 QStringLiteral("<body style=\" max-width:62em; margin:auto; padding:1em;"));
    // A browser sizes a picture to the window rather than to its pixels.
    html.replace(QRegularExpression(QStringLiteral("<img src=")), QStringLiteral("<img style=\"max-width:100%\" src="));
    QFile out(QDir(outDir).filePath(QStringLiteral("index.html")));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(html.toUtf8()) < 0 || !out.flush())
        fail(QStringLiteral("cannot write %1: %2").arg(out.fileName(), out.errorString()));
}

void writePdf(QTextDocument &document, const QString &pdfPath)
{
    QPdfWriter pdf(pdfPath);
    pdf.setTitle(QStringLiteral("Vendrix — the user's manual"));
    pdf.setCreator(QStringLiteral("Vendrix"));
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(18, 18, 18, 18), QPageLayout::Millimeter);
    document.print(&pdf);
    if (QFileInfo(pdfPath).size() <= 0)
        fail(QStringLiteral("cannot write %1").arg(pdfPath));
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_manual MANUAL.md OUT_FOLDER OUT.pdf\n");
        return 2;
    }
    const QString source = QString::fromLocal8Bit(argv[1]);
    const QString outDir = QString::fromLocal8Bit(argv[2]);
    const QString images = QDir(outDir).filePath(QStringLiteral("images"));
    if (!QDir().mkpath(images))
        fail(QStringLiteral("cannot make %1").arg(images));
    takePictures(images);
    std::unique_ptr<QTextDocument> document(render(source, outDir));
    writeHtml(*document, outDir);
    writePdf(*document, QString::fromLocal8Bit(argv[3]));
    return 0;
}
