#pragma once
// The panel's building blocks: cards, rows with an icon tile, headings, hints, the app's glyph,
// the switch, the spinner and link rows. Main thread, like every widget.

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "app/ui/Presentation.h"
#include "app/ui/Style.h"

class QHBoxLayout;
class QVBoxLayout;

namespace brisvale::ui {

// A rounded panel that stacks its rows with dividers between them, each divider starting
// `dividerInset` points from the leading edge.
class Card : public QWidget {
  public:
    explicit Card(int dividerInset, QWidget* parent = nullptr);
    void addRow(QWidget* row);  // the card takes ownership
    // Moves `row` (already in the card) to position `index`.
    void placeRow(QWidget* row, int index);
    QVBoxLayout* rows() const { return rows_; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    int dividerInset_;
    QVBoxLayout* rows_;
};

// A 30 x 30 rounded tile with a symbol in a tint.
class IconTile : public QWidget {
  public:
    IconTile(std::string symbol, Tint tint, QWidget* parent = nullptr);
    void set(std::string symbol, Tint tint);
    QSize sizeHint() const override { return {30, 30}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    std::string symbol_;
    Tint tint_;
};

// Icon tile, title over a caption-sized subtitle, and an accessory at the trailing edge.
class InfoRow : public QWidget {
  public:
    InfoRow(std::string symbol, Tint tint, const QString& title, const StyledText& subtitle,
            QWidget* parent = nullptr);
    void setSymbol(std::string symbol, Tint tint) { tile_->set(std::move(symbol), tint); }
    void setTitle(const QString& title);
    void setSubtitle(const StyledText& subtitle);
    // Replaces the accessory (nullptr: none); the row takes ownership, the old one is deleted.
    void setAccessory(QWidget* accessory);
    QWidget* accessory() const { return accessory_; }
    QLabel* titleLabel() const { return title_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void remeasure();
    void fitSubtitle();

    IconTile* tile_;
    QLabel* title_;
    QLabel* subtitle_;
    QHBoxLayout* layout_;
    QWidget* accessory_ = nullptr;
};

// A small secondary-coloured heading above a card.
class SectionLabel : public QLabel {
  public:
    explicit SectionLabel(const QString& text, QWidget* parent = nullptr);
};

// Caption-sized tertiary text below a card.
class Hint : public QLabel {
  public:
    explicit Hint(const QString& text, QWidget* parent = nullptr);
};

// The application's own icon at size x size.
class AppGlyph : public QWidget {
  public:
    explicit AppGlyph(int size, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {size_, size_}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    int size_;
};

// A switch-style toggle: a check box drawn as a sliding knob. Its label stays hidden; the
// accessible name says what it switches.
class Toggle : public Keyed<QCheckBox> {
  public:
    explicit Toggle(const QString& accessibleName, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {36, 20}; }

  protected:
    void paintEvent(QPaintEvent*) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

// A small indeterminate spinner (a busy progress bar to assistive technology).
class Spinner : public QProgressBar {
  public:
    explicit Spinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {18, 18}; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void timerEvent(QTimerEvent*) override;

  private:
    int angle_ = 0;
};

// Title, an optional value in secondary colour, and when there is an action the whole row is a
// button ending in a chevron. Without an action it is plain text.
class LinkRow : public QWidget {
  public:
    LinkRow(const QString& title, std::optional<QString> value, std::function<void()> action,
            QWidget* parent = nullptr);
    void setValue(std::optional<QString> value);
    QPushButton* button() const { return button_; }

  private:
    QLabel* value_;
    QPushButton* button_ = nullptr;
};

}  // namespace brisvale::ui
