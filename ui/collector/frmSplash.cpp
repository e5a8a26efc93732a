#include "ui/collector/frmSplash.h"

#include "ui/AppIcon.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace vx {

frmSplash::frmSplash(QWidget *parent)
    : QFrame(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("frmSplash"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    setLineWidth(2);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0xf4, 0xf7, 0xfb));
    pal.setColor(QPalette::WindowText, QColor(0x1f, 0x4e, 0x79));
    setPalette(pal);

    auto *icon = new QLabel(this);
    icon->setPixmap(AppIcon().pixmap(64, 64));

    auto *name = new QLabel(QStringLiteral("Vendrix"), this);
    name->setObjectName(QStringLiteral("lblProductName"));
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 2.4);
    big.setBold(true);
    name->setFont(big);

    auto *version = new QLabel(tr("Version %1").arg(QStringLiteral(VENDRIX_VERSION)), this);
    version->setObjectName(QStringLiteral("lblVersion"));

    auto *what = new QLabel(tr("Data collection for portable barcode terminals"), this);
    auto *loading = new QLabel(tr("Starting..."), this);
    QFont italic = loading->font();
    italic.setItalic(true);
    loading->setFont(italic);

    auto *text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(version);
    text->addSpacing(8);
    text->addWidget(what);
    text->addStretch(1);
    text->addWidget(loading);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(28, 24, 36, 20);
    layout->addWidget(icon, 0, Qt::AlignTop);
    layout->addSpacing(20);
    layout->addLayout(text, 1);

    adjustSize();
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect r = rect();
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }
}

} // namespace vx
