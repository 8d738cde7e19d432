// Build tool: paints the program's icon (ProgramIcon.cpp, the picture the window shows) into
// the files of the hicolor icon theme that the package installs:
//   <out>/scalable/apps/<name>.svg and <out>/<n>x<n>/apps/<name>.png for n = 16 ... 256.
// Usage: trabix-icon-export OUTPUT_FOLDER ICON_NAME
#include "app/window/ProgramIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include <cstdio>

namespace {

constexpr int SvgSize = 256;

bool WriteSvg(const QString& path)
{
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(SvgSize, SvgSize));
    svg.setViewBox(QRect(0, 0, SvgSize, SvgSize));
    svg.setTitle(QStringLiteral("Trabix"));
    QPainter painter;
    if (!painter.begin(&svg))
        return false;
    PaintProgramIcon(painter, SvgSize);
    return painter.end();
}

bool WritePng(const QString& path, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        PaintProgramIcon(painter, size);
    }
    return image.save(path, "PNG");
}

}  // namespace

int main(int argc, char* argv[])
{
    // Fonts and the platform are not needed: the icon has no text.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: trabix-icon-export OUTPUT_FOLDER ICON_NAME\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QString scalable = out + QStringLiteral("/scalable/apps");
    bool ok = QDir().mkpath(scalable) && WriteSvg(scalable + "/" + name + ".svg");
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString folder = out + QStringLiteral("/%1x%1/apps").arg(size);
        ok = ok && QDir().mkpath(folder) && WritePng(folder + "/" + name + ".png", size);
    }
    if (!ok)
        std::fprintf(stderr, "trabix-icon-export: cannot write the icons to %s\n", argv[1]);
    return ok ? 0 : 1;
}
