#pragma once
// The panel's look: colours by meaning, text sizes, symbols drawn from the SVGs the app ships,
// and buttons that answer Enter as well as Space.

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QKeyEvent>
#include <QPixmap>
#include <string>

#include "app/ui/Presentation.h"

namespace brisvale::ui {

QColor colour(Tint tint);  // plain is the primary text colour
QColor primaryText();
QColor secondaryText();
QColor tertiaryText();
QColor accent();  // switches that are on, the update dot

QFont captionFont();
QFont calloutFont();
QFont headlineFont();
QFont semibold(QFont font);

// A symbol ("iphone", "lock", ...) drawn in one colour at `size` logical pixels. An unknown
// name draws nothing (an empty, transparent pixmap of that size).
QPixmap symbol(const std::string& name, const QColor& colour, int size);
QIcon symbolIcon(const std::string& name, const QColor& colour, int size);

// Rich text for a QLabel: each part in its colour, plain parts in `plainColour`.
QString styledHtml(const StyledText& text, const QColor& plainColour);

// The panel's palette and style sheet on `panel` and everything inside it.
void applyPanelStyle(QWidget* panel);

// A button that Enter and Return press as Space does, so every control works from the keyboard
// outside dialogs too.
template <class Button>
class Keyed : public Button {
  public:
    using Button::Button;

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
            this->isEnabled()) {
            this->animateClick();
            return;
        }
        Button::keyPressEvent(event);
    }
};

}  // namespace brisvale::ui
