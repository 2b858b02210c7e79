#pragma once
// MonitorPane: one text pane of the Port Monitor, 10 lines of 31 characters of a
// fixed-pitch font on a light yellow ground, drawn from a text its owner keeps: 310
// characters filling the lines row by row, or a first character NUL for a blank pane.
//
// The pane is cheap to redraw while data streams: it is opaque, so nothing beneath it
// is drawn again, and its characters are not drawn as text at all. Each of the 95
// printable characters is drawn once, at the start, into a tile on the pane's ground;
// a redraw copies the tiles of the lines' characters straight into the window's
// picture in memory, with no painter. Where that picture is not plain 32-bit pixels
// (a grab into a pixmap, a scaled screen), the lines go through a one-line strip and a
// painter instead.
//
// Owned by PortMonitorDialog; UI thread only.
#include <QFont>
#include <QImage>
#include <QWidget>

#include <array>

class QPainter;

constexpr int PANE_COLUMNS = 31;
constexpr int PANE_LINES = 10;
constexpr int PANE_CHARS = PANE_COLUMNS * PANE_LINES; // 310

using PaneChars = std::array<char, PANE_CHARS>;

class MonitorPane : public QWidget {
  public:
    // text: the owner's, read at every paint; it must outlive the pane.
    MonitorPane(const PaneChars& text, QWidget* parent);

    // Redraws the lines of the text at the next paint, not the ground around them.
    void updateText();
    // Draws a test pattern over the pane's text at its next paint: line k begins with
    // the digit k (1..9, then 0).
    void showTestPattern();
    // What the pane showed when it was last drawn: 10 lines of 31 characters, each
    // ended by a line feed. And how many times it has been drawn.
    QString drawnLayout() const;
    int drawCount() const { return drawCount_; }

    // The tiles of one line's characters, as a line copy reads them.
    struct LineTiles {
        const quint32* tiles = nullptr; // the tile picture's first row
        size_t tileStride = 0;          // pixels from one of its rows to the next
        int width = 0;                  // of a cell, in pixels
        int rows = 0;                   // of a cell
        int columns = 0;                // cells that fit the pane
        std::array<int, PANE_COLUMNS> tileOfColumn{};
    };
    // Copies a line's tiles into the picture's pixels, row by row.
    using LineCopy = void (*)(const LineTiles& line, quint32* to, size_t toStride);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void fitFont();
    void makeTiles();
    static int tileAt(const PaneChars& chars, size_t index);
    void composeLine(int line, quint32* to, size_t stride) const;
    QImage* windowImage(QPoint& origin) const;
    bool drawLinesInPlace(const QRect& area);
    void drawTestPattern(QPainter& painter);

    const PaneChars& text_;
    PaneChars shown_{};
    int drawCount_ = 0;
    bool testPatternDue_ = false;
    QFont font_;
    QSize cell_;                  // pixels of one character
    QImage tiles_;                // the printable characters 0x20..0x7E side by side, on the ground
    QRect textArea_;              // the cells that fit the pane
    QImage strip_;                // one line of the pane as it is put on the screen
    LineCopy lineCopy_ = nullptr; // for the cell's width
};
