#include "app/ui/Style.h"

#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <QWidget>

namespace brisvale::ui {

QColor colour(Tint tint) {
    switch (tint) {
        case Tint::plain:
            return primaryText();
        case Tint::orange:
            return QColor(0xff, 0x9f, 0x0a);
        case Tint::green:
            return QColor(0x32, 0xd7, 0x4b);
        case Tint::blue:
            return QColor(0x0a, 0x84, 0xff);
    }
    return primaryText();
}

QColor primaryText() {
    return QColor(0xf2, 0xf2, 0xf4);
}
QColor secondaryText() {
    return QColor(0xa4, 0xa4, 0xab);
}
QColor tertiaryText() {
    return QColor(0x70, 0x70, 0x78);
}
QColor accent() {
    return colour(Tint::blue);
}

namespace {
QFont scaled(double factor) {
    QFont font = QApplication::font();
    font.setPointSizeF(font.pointSizeF() * factor);
    return font;
}
}  // namespace

QFont captionFont() {
    return scaled(0.85);
}
QFont calloutFont() {
    return scaled(0.95);
}
QFont headlineFont() {
    return semibold(scaled(1.05));
}
QFont semibold(QFont font) {
    font.setWeight(QFont::DemiBold);
    return font;
}

QPixmap symbol(const std::string& name, const QColor& colour, int size) {
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QString(":/brisvale/icons/%1.svg").arg(QString::fromStdString(name)));
    if (!renderer.isValid()) return pixmap;
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, size, size));
    // The SVGs are drawn in black; the tint replaces every drawn pixel's colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(QRectF(0, 0, size, size), colour);
    return pixmap;
}

QIcon symbolIcon(const std::string& name, const QColor& colour, int size) {
    return QIcon(symbol(name, colour, size));
}

QString styledHtml(const StyledText& text, const QColor& plainColour) {
    QString html;
    for (const auto& part : text) {
        const QColor c = part.tint == Tint::plain ? plainColour : colour(part.tint);
        html += QString("<span style=\"color:%1\">%2</span>")
                    .arg(c.name(), QString::fromStdString(part.text).toHtmlEscaped());
    }
    return html;
}

void applyPanelStyle(QWidget* panel) {
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, QColor(0x24, 0x24, 0x28));
    palette.setColor(QPalette::WindowText, primaryText());
    palette.setColor(QPalette::Text, primaryText());
    palette.setColor(QPalette::ButtonText, primaryText());
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x40));
    palette.setColor(QPalette::ToolTipBase, QColor(0x30, 0x30, 0x34));
    palette.setColor(QPalette::ToolTipText, primaryText());
    palette.setColor(QPalette::Highlight, accent());
    panel->setPalette(palette);
    panel->setAutoFillBackground(true);
    // Text colour in the sheet too: under a style sheet Qt may draw labels with the
    // application's palette instead of the panel's (black on this dark panel under X11).
    panel->setStyleSheet(R"(
        QLabel { color: #f2f2f4; }
        QPushButton { color: #f2f2f4; background: rgba(255,255,255,0.10); border: none;
                      border-radius: 6px; padding: 4px 10px; }
        QPushButton:hover { background: rgba(255,255,255,0.16); }
        QPushButton:focus { outline: none; border: 2px solid #0a84ff; }
        QPushButton:disabled { color: #707078; }
        QPushButton[prominent="true"] { background: #0a84ff; font-weight: 600; }
        QPushButton[prominent="orange"] { background: #e07f00; font-weight: 600; }
        QPushButton[flat="true"] { background: transparent; padding: 0; }
        QPushButton[flat="true"]:focus { border: 2px solid #0a84ff; border-radius: 6px; }
        QToolTip { color: #f2f2f4; background: #303034; border: 1px solid #505058; }
    )");
}

}  // namespace brisvale::ui
