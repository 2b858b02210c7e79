#pragma once
// The application icon (resource 131): a 32x32 and a 16x16 image drawn in code.
// UI thread only (it paints pixmaps).
#include <QIcon>

QIcon makeAppIcon();
