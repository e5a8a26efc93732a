// Writes the program's icon as the PNG files of an icon theme:
//   vx_make_icons OUTDIR SIZE... -> OUTDIR/<n>x<n>/apps/vendrix.png
// Run at build time on the offscreen platform; the drawing is the one the
// windows use.
#include "ui/AppIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: vx_make_icons OUTDIR SIZE...\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLatin1(argv[i]).toInt(&ok);
        if (!ok || size < 16 || size > 1024) {
            std::fprintf(stderr, "vx_make_icons: bad size %s\n", argv[i]);
            return 2;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        const QString file = dir + QStringLiteral("/vendrix.png");
        if (!QDir().mkpath(dir) || !vx::AppIconPixmap(size).save(file, "PNG")) {
            std::fprintf(stderr, "vx_make_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
