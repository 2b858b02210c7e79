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

// A line of cells from their tiles, one row of pixels after the other, so that the
// writes run along the picture's rows. A tile's row is a few pixels wide: with the
// width known at compile time it is copied in place rather than by a call.
template <int WIDTH>
void copyLineRows(const MonitorPane::LineTiles& line, quint32* to, size_t toStride) {
    size_t width = WIDTH > 0 ? size_t(WIDTH) : size_t(line.width);
    size_t bytes = width * sizeof(quint32);
    for (int row = 0; row < line.rows; ++row) {
        const quint32* tileRow = line.tiles + size_t(row) * line.tileStride;
        quint32* out = to + size_t(row) * toStride;
        for (int column = 0; column < line.columns; ++column)
            std::memcpy(out + size_t(column) * width,
                        tileRow + size_t(line.tileOfColumn[column]) * width, bytes);
    }
}

MonitorPane::LineCopy lineCopyFor(int width) {
    switch (width) {
    case 5:
        return copyLineRows<5>;
    case 6:
        return copyLineRows<6>;
    case 7:
        return copyLineRows<7>;
    case 8:
        return copyLineRows<8>;
    case 9:
        return copyLineRows<9>;
    default:
        return copyLineRows<0>;
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
    lineCopy_ = lineCopyFor(cell_.width());
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

// One line's cells into pixels (to, with stride pixels from one row to the next): the
// tiles of its characters. Cells that do not fit are left out.
void MonitorPane::composeLine(int line, quint32* to, size_t stride) const {
    LineTiles tiles;
    tiles.tiles = reinterpret_cast<const quint32*>(tiles_.constBits());
    tiles.tileStride = size_t(tiles_.bytesPerLine()) / sizeof(quint32);
    tiles.width = cell_.width();
    tiles.rows = cell_.height();
    tiles.columns = textArea_.width() / cell_.width();
    for (int column = 0; column < tiles.columns; ++column)
        tiles.tileOfColumn[column] = tileAt(shown_, size_t(line * PANE_COLUMNS + column));
    lineCopy_(tiles, to, stride);
}

// The window's picture in memory that this paint goes to, with the pane's origin in it,
// when the pane's tiles can be copied into it as they are: 32-bit pixels, one per unit.
// Otherwise (a grab into a pixmap, a scaled screen) null, and the paint goes through a
// painter.
QImage* MonitorPane::windowImage(QPoint& origin) const {
    QPoint offset;
    QPaintDevice* device = sharedPainter() ? nullptr : redirected(&offset);
    if (!device || device->devType() != QInternal::Image)
        return nullptr;
    auto* image = static_cast<QImage*>(device);
    QImage::Format format = image->format();
    bool sameFormat = format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
                      format == QImage::Format_ARGB32_Premultiplied;
    if (!sameFormat || image->devicePixelRatio() != 1.0)
        return nullptr;
    origin = -offset;
    return image;
}

// A redraw of the text while data streams: the tiles go straight into the window's
// picture, with no painter and no copy in between. False when they cannot.
bool MonitorPane::drawLinesInPlace(const QRect& area) {
    QPoint origin;
    QImage* image = windowImage(origin);
    if (!image || !textArea_.contains(area))
        return false;
    int firstLine = area.top() / cell_.height();
    int lastLine = area.bottom() / cell_.height();
    QRect lines(0, firstLine * cell_.height(), textArea_.width(),
                (lastLine - firstLine + 1) * cell_.height());
    if (!image->rect().contains(lines.translated(origin)))
        return false;
    size_t stride = size_t(image->bytesPerLine()) / sizeof(quint32);
    for (int line = firstLine; line <= lastLine; ++line) {
        QPoint at = origin + QPoint(0, line * cell_.height());
        composeLine(line, reinterpret_cast<quint32*>(image->scanLine(at.y())) + at.x(), stride);
    }
    return true;
}

// The lines the paint asks for go into the window's picture in place where they can
// (every tick while data streams); otherwise through one strip, which stays in the
// cache, and a painter. The ground outside the lines is filled when the paint reaches it
// (not for updateText).
void MonitorPane::paintEvent(QPaintEvent* event) {
    shown_ = text_;
    ++drawCount_;
    if (!testPatternDue_ && !textArea_.isEmpty() && drawLinesInPlace(event->rect()))
        return;
    QPainter painter(this);
    if (!textArea_.contains(event->rect()))
        for (const QRect& part : QRegion(event->rect()) - textArea_)
            painter.fillRect(part, PANE_BACKGROUND);
    size_t stripStride = size_t(strip_.bytesPerLine()) / sizeof(quint32);
    for (int line = 0; !textArea_.isEmpty() && line * cell_.height() < textArea_.height(); ++line) {
        QRect strip(0, line * cell_.height(), textArea_.width(), cell_.height());
        if (!strip.intersects(event->rect()))
            continue;
        composeLine(line, reinterpret_cast<quint32*>(strip_.bits()), stripStride);
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
