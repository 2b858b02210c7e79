#include "app/monitor_pane.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cstring>

namespace {

const QColor PANE_BACKGROUND(255, 255, 190);
constexpr char FIRST_PRINTABLE = 0x20;
constexpr char LAST_PRINTABLE = 0x7E;
constexpr int PRINTABLE_COUNT = LAST_PRINTABLE - FIRST_PRINTABLE + 1;
constexpr int LARGEST_FONT_PIXELS = 14;
constexpr int SMALLEST_FONT_PIXELS = 7;

// Line k begins with the digit k (1..9, then 0), followed by 30 letters.
QString testPattern() {
    QString pattern;
    for (int line = 1; line <= PANE_LINES; ++line) {
        pattern += QChar('0' + line % 10);
        for (int column = 1; column < PANE_COLUMNS; ++column)
            pattern += QChar('A' + (column - 1) % 26);
        pattern += QChar('\n');
    }
    return pattern;
}

// One tile into its cell, row by row. The rows are a few pixels wide: with the width
// known at compile time each row is copied in place rather than by a call.
template <int WIDTH>
void copyTileRows(const quint32* from, size_t fromStride, quint32* to, size_t toStride, int width,
                  int rows) {
    size_t bytes = (WIDTH > 0 ? size_t(WIDTH) : size_t(width)) * sizeof(quint32);
    for (int row = 0; row < rows; ++row)
        std::memcpy(to + size_t(row) * toStride, from + size_t(row) * fromStride, bytes);
}

MonitorPane::TileCopy tileCopyFor(int width) {
    switch (width) {
    case 5:
        return copyTileRows<5>;
    case 6:
        return copyTileRows<6>;
    case 7:
        return copyTileRows<7>;
    case 8:
        return copyTileRows<8>;
    case 9:
        return copyTileRows<9>;
    default:
        return copyTileRows<0>;
    }
}

int tileOf(char c) {
    return c >= FIRST_PRINTABLE && c <= LAST_PRINTABLE ? c - FIRST_PRINTABLE : 0;
}

} // namespace

MonitorPane::MonitorPane(const PaneChars& text, QWidget* parent) : QWidget(parent), text_(text) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    fitFont();
}

// The fixed-pitch font at the largest size whose 10 lines of 31 characters fit.
void MonitorPane::fitFont() {
    font_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font_.setStyleHint(QFont::Monospace);
    for (int pixels = LARGEST_FONT_PIXELS; pixels >= SMALLEST_FONT_PIXELS; --pixels) {
        font_.setPixelSize(pixels);
        QFontMetrics metrics(font_);
        cell_ = QSize(metrics.horizontalAdvance(QChar('M')), metrics.lineSpacing());
        if (cell_.width() * PANE_COLUMNS <= width() && cell_.height() * PANE_LINES <= height())
            break;
    }
    makeTiles();
}

void MonitorPane::makeTiles() {
    tiles_ = QImage(cell_.width() * PRINTABLE_COUNT, cell_.height(), QImage::Format_RGB32);
    tiles_.fill(PANE_BACKGROUND);
    QPainter painter(&tiles_);
    painter.setFont(font_);
    painter.setPen(Qt::black);
    int ascent = QFontMetrics(font_).ascent();
    for (int i = 0; i < PRINTABLE_COUNT; ++i)
        painter.drawText(QPoint(i * cell_.width(), ascent), QString(QChar(FIRST_PRINTABLE + i)));
    painter.end();
    tileCopy_ = tileCopyFor(cell_.width());
    if (cell_.isEmpty())
        textArea_ = QRect(); // no usable font: the pane is its ground
    else
        textArea_ = QRect(0, 0, std::min(PANE_COLUMNS, width() / cell_.width()) * cell_.width(),
                          std::min(PANE_LINES, height() / cell_.height()) * cell_.height());
    strip_ =
        QImage(std::max(1, textArea_.width()), std::max(1, cell_.height()), QImage::Format_RGB32);
    strip_.fill(PANE_BACKGROUND);
    shown_.fill(0);
}

void MonitorPane::resizeEvent(QResizeEvent*) {
    fitFont();
}

void MonitorPane::updateText() {
    if (textArea_.isEmpty())
        update(); // no usable font: still drawn, as the ground
    else
        update(textArea_);
}

void MonitorPane::showTestPattern() {
    testPatternDue_ = true;
}

QString MonitorPane::drawnLayout() const {
    QString layout;
    for (int line = 0; line < PANE_LINES; ++line) {
        for (int column = 0; column < PANE_COLUMNS; ++column) {
            char c = shown_[size_t(line * PANE_COLUMNS + column)];
            layout += shown_[0] == 0 ? QChar(' ') : QChar(c);
        }
        layout += QChar('\n');
    }
    return layout;
}

// The tile a cell shows: a blank pane (first character NUL) is all spaces.
int MonitorPane::tileAt(const PaneChars& chars, size_t index) {
    return chars[0] == 0 ? tileOf(' ') : tileOf(chars[index]);
}

// One line's cells into the strip: the tiles of its characters, row by row of pixels.
// Cells that do not fit the pane are left out.
void MonitorPane::composeLine(int line) {
    int columns = textArea_.width() / cell_.width();
    int cellWidth = cell_.width();
    size_t stripStride = size_t(strip_.bytesPerLine()) / sizeof(quint32);
    size_t tileStride = size_t(tiles_.bytesPerLine()) / sizeof(quint32);
    auto* strip = reinterpret_cast<quint32*>(strip_.bits());
    const auto* tiles = reinterpret_cast<const quint32*>(tiles_.constBits());
    for (int column = 0; column < columns; ++column) {
        int tile = tileAt(shown_, size_t(line * PANE_COLUMNS + column));
        tileCopy_(tiles + size_t(tile * cellWidth), tileStride, strip + size_t(column * cellWidth),
                  stripStride, cellWidth, cell_.height());
    }
}

// The lines the paint asks for go through one strip, which stays in the cache, straight
// onto the screen; the pane keeps no picture of its own. The ground outside the lines
// is filled when the paint reaches it (not for updateText).
void MonitorPane::paintEvent(QPaintEvent* event) {
    shown_ = text_;
    ++drawCount_;
    QPainter painter(this);
    if (!textArea_.contains(event->rect()))
        for (const QRect& part : QRegion(event->rect()) - textArea_)
            painter.fillRect(part, PANE_BACKGROUND);
    for (int line = 0; !textArea_.isEmpty() && line * cell_.height() < textArea_.height(); ++line) {
        QRect strip(0, line * cell_.height(), textArea_.width(), cell_.height());
        if (!strip.intersects(event->rect()))
            continue;
        composeLine(line);
        painter.drawImage(strip.topLeft(), strip_);
    }
    if (testPatternDue_)
        drawTestPattern(painter);
    testPatternDue_ = false;
}

// No ground of its own: it lies over the text until the pane is drawn again.
void MonitorPane::drawTestPattern(QPainter& painter) {
    painter.setFont(font_);
    painter.setPen(Qt::black);
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop, testPattern());
}
