#include "app/ui/Components.h"

#include <QBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

namespace brisvale::ui {

Card::Card(int dividerInset, QWidget* parent)
    : QWidget(parent), dividerInset_(dividerInset), rows_(new QVBoxLayout(this)) {
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(1);  // room for the divider line
}

void Card::addRow(QWidget* row) {
    rows_->addWidget(row);
}

void Card::placeRow(QWidget* row, int index) {
    if (rows_->indexOf(row) == index) return;
    rows_->removeWidget(row);
    rows_->insertWidget(index, row);
}

void Card::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(255, 255, 255, 22));
    p.setBrush(QColor(255, 255, 255, 16));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    p.setPen(QColor(255, 255, 255, 30));
    QWidget* previous = nullptr;
    for (int i = 0; i < rows_->count(); ++i) {
        QWidget* w = rows_->itemAt(i)->widget();
        if (!w || w->isHidden()) continue;
        if (previous) {
            const int y = (previous->geometry().bottom() + w->geometry().top() + 1) / 2;
            p.drawLine(dividerInset_, y, width(), y);
        }
        previous = w;
    }
}

IconTile::IconTile(std::string symbol, Tint tint, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), tint_(tint) {
    setFixedSize(30, 30);
}

void IconTile::set(std::string symbol, Tint tint) {
    if (symbol == symbol_ && tint == tint_) return;
    symbol_ = std::move(symbol);
    tint_ = tint;
    update();
}

void IconTile::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    QColor fill = colour(tint_);
    fill.setAlpha(tint_ == Tint::plain ? 26 : 46);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(0, 0, 30, 30), 8, 8);
    p.drawPixmap(6, 6, symbol(symbol_, colour(tint_), 18));
}

InfoRow::InfoRow(std::string symbolName, Tint tint, const QString& title,
                 const StyledText& subtitle, QWidget* parent)
    : QWidget(parent),
      tile_(new IconTile(std::move(symbolName), tint)),
      title_(new QLabel(title)),
      subtitle_(new QLabel),
      layout_(new QHBoxLayout(this)) {
    layout_->setContentsMargins(11, 9, 11, 9);
    layout_->setSpacing(11);
    layout_->addWidget(tile_, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    texts->addWidget(title_);
    texts->addWidget(subtitle_);
    subtitle_->setFont(captionFont());
    subtitle_->setWordWrap(true);
    subtitle_->setTextFormat(Qt::RichText);
    layout_->addLayout(texts, 1);
    subtitle_->installEventFilter(this);
    setSubtitle(subtitle);
}

void InfoRow::setTitle(const QString& title) {
    title_->setText(title);
}

void InfoRow::setSubtitle(const StyledText& subtitle) {
    subtitle_->setText(styledHtml(subtitle, secondaryText()));
    subtitle_->setAccessibleName(QString::fromStdString(plainText(subtitle)));
    remeasure();
}

void InfoRow::remeasure() {
    // Layouts nested this deep lose a wrapped line's height for a width; a minimum height they
    // keep. Measured again whenever the text or the room for it changes.
    subtitle_->setMinimumHeight(0);
    fitSubtitle();
}

void InfoRow::fitSubtitle() {
    const int needed = subtitle_->heightForWidth(subtitle_->width());
    if (needed > subtitle_->height()) subtitle_->setMinimumHeight(needed);
}

bool InfoRow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == subtitle_ && event->type() == QEvent::Resize) fitSubtitle();
    return QWidget::eventFilter(watched, event);
}

void InfoRow::setAccessory(QWidget* accessory) {
    if (accessory_ == accessory) return;
    if (accessory_) {
        // Later, not now: the old accessory may be the switch whose signal brought us here.
        layout_->removeWidget(accessory_);
        accessory_->hide();
        accessory_->deleteLater();
    }
    accessory_ = accessory;
    if (accessory_) layout_->addWidget(accessory_, 0, Qt::AlignVCenter);
}

SectionLabel::SectionLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setFont(semibold(captionFont()));
    setStyleSheet(QString("color:%1; margin-left:4px;").arg(secondaryText().name()));
}

Hint::Hint(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setFont(captionFont());
    setWordWrap(true);
    setStyleSheet(QString("color:%1; margin: 0 4px;").arg(tertiaryText().name()));
}

AppGlyph::AppGlyph(int size, QWidget* parent) : QWidget(parent), size_(size) {
    setFixedSize(size, size);
}

void AppGlyph::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    QSvgRenderer(QString(":/brisvale/brisvale.svg")).render(&p, QRectF(0, 0, size_, size_));
}

Toggle::Toggle(const QString& accessibleName, QWidget* parent) : Keyed<QCheckBox>(parent) {
    setAccessibleName(accessibleName);
    setFixedSize(sizeHint());
    setCursor(Qt::PointingHandCursor);
}

void Toggle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    p.setPen(hasFocus() ? QPen(accent(), 1.5) : Qt::NoPen);
    QColor fill = isChecked() ? accent() : QColor(255, 255, 255, 50);
    if (!isEnabled()) fill.setAlpha(fill.alpha() / 2);
    p.setBrush(fill);
    p.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const qreal d = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - d : track.left() + 2;
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(x, track.top() + 2, d, d));
}

Spinner::Spinner(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 0);
    setTextVisible(false);
    setFixedSize(sizeHint());
    setAccessibleName("Working");
    startTimer(80);
}

void Spinner::timerEvent(QTimerEvent*) {
    angle_ = (angle_ + 30) % 360;
    if (isVisible()) update();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(width() / 2.0, height() / 2.0);
    p.rotate(angle_);
    for (int i = 0; i < 8; ++i) {
        QColor c = secondaryText();
        c.setAlphaF(0.2 + 0.8 * i / 7.0);
        p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(0, -4), QPointF(0, -7.5));
        p.rotate(45);
    }
}

LinkRow::LinkRow(const QString& title, std::optional<QString> value, std::function<void()> action,
                 QWidget* parent)
    : QWidget(parent), value_(new QLabel) {
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    QWidget* body = this;
    if (action) {
        button_ = new Keyed<QPushButton>;
        button_->setFlat(true);
        button_->setProperty("flat", true);
        button_->setAccessibleName(title);
        button_->setCursor(Qt::PointingHandCursor);
        connect(button_, &QPushButton::clicked, this, [action] { action(); });
        outer->addWidget(button_);
        body = button_;
    }
    auto* row = new QHBoxLayout;
    row->setContentsMargins(12, 9, 12, 9);
    auto* titleLabel = new QLabel(title);
    row->addWidget(titleLabel);
    row->addStretch(1);
    value_->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    row->addWidget(value_);
    if (action) {
        auto* chevron = new QLabel;
        chevron->setPixmap(symbol("chevron.right", tertiaryText(), 11));
        row->addWidget(chevron);
        // The labels only draw; clicks and focus belong to the button.
        for (QLabel* label : {titleLabel, value_, chevron})
            label->setAttribute(Qt::WA_TransparentForMouseEvents);
        body->setLayout(row);
        button_->setMinimumHeight(row->sizeHint().height());
    } else {
        outer->addLayout(row);
    }
    setValue(std::move(value));
}

void LinkRow::setValue(std::optional<QString> value) {
    value_->setText(value.value_or(QString()));
    value_->setVisible(value.has_value());
    if (button_) button_->setAccessibleDescription(value.value_or(QString()));
}

}  // namespace brisvale::ui
