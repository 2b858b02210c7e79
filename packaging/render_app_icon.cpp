// render-app-icon: writes the application icon, drawn by app/app_icon.cpp, as the PNG
// files of the freedesktop icon theme: OUTDIR/<n>x<n>/apps/NAME.png for each size.
// A build-time tool; the package ships what it wrote.
#include "app/app_icon.h"

#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: render-app-icon OUTDIR NAME SIZE...\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        int size = std::atoi(argv[i]);
        if (size < 16 || size > 512) {
            std::fprintf(stderr, "render-app-icon: bad size '%s'\n", argv[i]);
            return 2;
        }
        QString dir = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        QString file = dir + "/" + name + ".png";
        if (!QDir().mkpath(dir) || !drawAppIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "render-app-icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
