#include "app/about_dialog.h"

#include "app/app_icon.h"

#include <QLabel>
#include <QPushButton>

namespace {

// Dialog units of the template, in pixels with Verdana 10 pt's base units (as the
// main window does for Verdana 9 pt).
constexpr int BASE_UNIT_X = 8;
constexpr int BASE_UNIT_Y = 16;

QRect pixels(int x, int y, int width, int height) {
    return QRect(x * BASE_UNIT_X / 4, y * BASE_UNIT_Y / 8, width * BASE_UNIT_X / 4,
                 height * BASE_UNIT_Y / 8);
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(ABOUT_TITLE);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(QFont("Verdana", 10));
    setFixedSize(pixels(0, 0, 180, 87).size());

    auto* icon = new QLabel(this);
    icon->setObjectName("aboutIcon");
    icon->setPixmap(makeAppIcon().pixmap(32, 32));
    icon->setGeometry(QRect(pixels(80, 8, 0, 0).topLeft(), QSize(32, 32)));

    auto* text = new QLabel(ABOUT_TEXT, this);
    text->setObjectName("aboutText");
    text->setAlignment(Qt::AlignCenter);
    text->setGeometry(pixels(7, 32, 166, 8));

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("aboutOk");
    ok->setDefault(true);
    ok->setGeometry(pixels(66, 64, 45, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
