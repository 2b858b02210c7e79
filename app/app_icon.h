#pragma once
// The application icon (resource 131): a 32x32 and a 16x16 image drawn in code.
// makeAppIcon: UI thread only (it makes pixmaps). drawAppIcon paints an image of any
// size and needs no application object: the package's icon files are drawn with it
// at build time (packaging/render_app_icon.cpp).
#include <QIcon>
#include <QImage>

QIcon makeAppIcon();
QImage drawAppIcon(int size);
