#include "app/ui/PanelView.h"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QPainter>
#include <QVariantAnimation>

namespace brisvale::ui {

QString tabTitle(PanelTab tab) {
    switch (tab) {
        case PanelTab::devices:
            return "Devices";
        case PanelTab::settings:
            return "Settings";
        case PanelTab::about:
            return "About";
    }
    return {};
}

std::string tabSymbol(PanelTab tab) {
    switch (tab) {
        case PanelTab::devices:
            return "iphone";
        case PanelTab::settings:
            return "gearshape";
        case PanelTab::about:
            return "info.circle";
    }
    return {};
}

TabBar::TabBar(std::vector<PanelTab> tabs, QWidget* parent)
    : QWidget(parent), tabs_(std::move(tabs)), slide_(new QVariantAnimation(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (PanelTab tab : tabs_) {
        auto* cell = new Keyed<QPushButton>(tabTitle(tab));
        cell->setProperty("flat", true);
        cell->setFixedHeight(30);
        cell->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        cell->setIconSize(QSize(14, 14));
        cell->setAccessibleName(tabTitle(tab));
        cell->setCursor(Qt::PointingHandCursor);
        connect(cell, &QPushButton::clicked, this, [this, tab] {
            select(tab, true);
            emit selected(tab);
        });
        layout->addWidget(cell, 1);
        cells_.push_back(cell);
        auto* dot = new QLabel(cell);
        dot->setFixedSize(6, 6);
        dot->setStyleSheet(QString("background:%1; border-radius:3px;").arg(accent().name()));
        dot->setAccessibleName("Update available");
        dot->hide();
        dots_.push_back(dot);
    }
    // A spring-like settle of the highlight: about half a second, no overshoot to speak of.
    slide_->setDuration(500);
    slide_->setEasingCurve(QEasingCurve::OutCubic);
    connect(slide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        highlight_ = v.toReal();
        update();
    });
    restyle();
}

QPushButton* TabBar::cell(PanelTab tab) const {
    for (size_t i = 0; i < tabs_.size(); ++i)
        if (tabs_[i] == tab) return cells_[i];
    return nullptr;
}

void TabBar::select(PanelTab tab, bool animated) {
    if (tab == selection_) return;
    selection_ = tab;
    const auto index = std::find(tabs_.begin(), tabs_.end(), tab) - tabs_.begin();
    slide_->stop();
    if (animated) {
        slide_->setStartValue(highlight_);
        slide_->setEndValue(qreal(index));
        slide_->start();
    }
    restyle();
    update();
}

void TabBar::setDotted(const std::set<PanelTab>& dotted) {
    for (size_t i = 0; i < tabs_.size(); ++i) {
        QWidget* dot = dots_[i];
        dot->setVisible(dotted.count(tabs_[i]) > 0);
        dot->move(cells_[i]->width() - 4 - dot->width(), 4);
    }
}

void TabBar::restyle() {
    const QFont base = tabs_.size() < 4 ? calloutFont() : captionFont();
    for (size_t i = 0; i < tabs_.size(); ++i) {
        const bool selected = tabs_[i] == selection_;
        cells_[i]->setFont(selected ? semibold(base) : base);
        const QColor text = selected ? primaryText() : secondaryText();
        cells_[i]->setStyleSheet(QString("color:%1").arg(text.name()));
        cells_[i]->setIcon(symbolIcon(tabSymbol(tabs_[i]), text, 14));
        cells_[i]->setAccessibleDescription(selected ? "Selected" : "");
        dots_[i]->move(cells_[i]->width() - 4 - dots_[i]->width(), 4);
    }
}

void TabBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 56));
    p.drawRoundedRect(QRectF(rect()), 9, 9);
    if (slide_->state() != QAbstractAnimation::Running) {
        const auto index = std::find(tabs_.begin(), tabs_.end(), selection_) - tabs_.begin();
        highlight_ = qreal(index);
    }
    const qreal w = qreal(width()) / qreal(tabs_.size());
    p.setBrush(QColor(255, 255, 255, 36));
    p.drawRoundedRect(QRectF(highlight_ * w + 2, 2, w - 4, height() - 4), 7, 7);
    // Cells are laid out only now and then; the dots follow their top-trailing corner.
    for (size_t i = 0; i < tabs_.size(); ++i)
        dots_[i]->move(cells_[i]->width() - 4 - dots_[i]->width(), 4);
}

SettingsTab::SettingsTab(const PanelActions& actions, QWidget* parent)
    : QWidget(parent),
      openAtLogin_(new Toggle("Open at login")),
      autoMount_(new Toggle("Auto-mount")) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(new SectionLabel("General"));
    auto* card = new Card(52);
    auto* login =
        new InfoRow("power", Tint::plain, "Open at login", {{"Start Brisvale when you log in"}});
    login->setAccessory(openAtLogin_);
    auto* mount = new InfoRow("externaldrive.badge.plus", Tint::plain, "Auto-mount",
                              {{"Mount supported phones as soon as they connect"}});
    mount->setAccessory(autoMount_);
    card->addRow(login);
    card->addRow(mount);
    layout->addWidget(card);
    connect(openAtLogin_, &QCheckBox::clicked, this, [&actions](bool on) {
        if (actions.setOpenAtLogin) actions.setOpenAtLogin(on);
    });
    connect(autoMount_, &QCheckBox::clicked, this, [&actions](bool on) {
        if (actions.setAutoMount) actions.setAutoMount(on);
    });
}

void SettingsTab::set(bool openAtLogin, bool autoMount) {
    openAtLogin_->setChecked(openAtLogin);
    autoMount_->setChecked(autoMount);
}

AboutTab::AboutTab(const PanelActions& actions, UpdateModel* updates, const BundleInfo& bundle,
                   QWidget* parent)
    : QWidget(parent),
      actions_(actions),
      updates_(updates),
      updateCard_(new Card(52)),
      updateTitle_(new QLabel),
      updateDetail_(new QLabel) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(14);

    auto* updateRow = new QWidget;
    auto* row = new QHBoxLayout(updateRow);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(11);
    row->addWidget(new IconTile("arrow.down", Tint::blue));
    auto* texts = new QVBoxLayout;
    updateTitle_->setFont(semibold(font()));
    updateTitle_->setWordWrap(true);
    updateDetail_->setFont(captionFont());
    updateDetail_->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    texts->addWidget(updateTitle_);
    texts->addWidget(updateDetail_);
    row->addLayout(texts, 1);
    auto* download = new Keyed<QPushButton>("Download");
    download->setProperty("prominent", "true");
    connect(download, &QPushButton::clicked, this, [this] { updates_->download(); });
    row->addWidget(download);
    static_cast<Card*>(updateCard_)->addRow(updateRow);
    layout->addWidget(updateCard_);

    auto* header = new QVBoxLayout;
    header->setSpacing(0);
    header->addWidget(new AppGlyph(56), 0, Qt::AlignHCenter);
    header->addSpacing(6);
    auto* name = new QLabel("Brisvale");
    name->setFont(semibold(font()));
    header->addWidget(name, 0, Qt::AlignHCenter);
    auto* version = new QLabel(QString::fromStdString(versionLine(bundle)));
    version->setFont(captionFont());
    version->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    header->addWidget(version, 0, Qt::AlignHCenter);
    header->addSpacing(6);
    auto* tagline = new QLabel("Android phones in Files, like any USB drive.");
    tagline->setFont(calloutFont());
    tagline->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    header->addWidget(tagline, 0, Qt::AlignHCenter);
    layout->addLayout(header);

    auto* links = new Card(52);
    links->addRow(new LinkRow("Developer", "Tavrel", {}));
    checkRow_ = new LinkRow("Check for updates", std::nullopt, [this] { updates_->check(); });
    links->addRow(checkRow_);
    links->addRow(new LinkRow("Website & support", std::nullopt, [this] {
        const QUrl site(siteAddress());
        if (actions_.openUrl)
            actions_.openUrl(site);
        else
            QDesktopServices::openUrl(site);
    }));
    layout->addWidget(links);
    refresh();
}

void AboutTab::refresh() {
    const auto& available = updates_->available();
    updateCard_->setVisible(available.has_value());
    if (available) {
        updateTitle_->setText(
            QString::fromStdString("Brisvale " + available->version + " is available"));
        updateDetail_->setText(QString::fromStdString("You have " +
                                                      updates_->runningVersion().value_or("?") +
                                                      " · " + formatFileSize(available->size)));
    }
    const auto status = updateStatus(updates_->phase(), available);
    checkRow_->setValue(status ? std::optional(QString::fromStdString(*status)) : std::nullopt);
}

PanelView::PanelView(PanelActions actions, UpdateModel* updates, BundleInfo bundle, QWidget* parent)
    : QWidget(parent),
      actions_(std::move(actions)),
      updates_(updates),
      summary_(new QLabel),
      tabs_(new TabBar({PanelTab::devices, PanelTab::settings, PanelTab::about})),
      devices_(new DevicesTab(actions_)),
      settings_(new SettingsTab(actions_)),
      about_(new AboutTab(actions_, updates, bundle)) {
    setWindowTitle("Brisvale");
    setAccessibleName("Brisvale");
    applyPanelStyle(this);
    setFixedWidth(340);
    setFocusPolicy(Qt::ClickFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 14);
    layout->setSpacing(14);

    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(new AppGlyph(30));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(0);
    auto* title = new QLabel("Brisvale");
    title->setFont(headlineFont());
    summary_->setFont(captionFont());
    summary_->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    titles->addWidget(title);
    titles->addWidget(summary_);
    header->addLayout(titles, 1);
    layout->addLayout(header);
    layout->addWidget(tabs_);
    layout->addWidget(devices_);
    layout->addWidget(settings_);
    layout->addWidget(about_);

    auto* quit = new Keyed<QPushButton>("Quit");
    quit->setIcon(symbolIcon("power", primaryText(), 14));
    quit->setMinimumHeight(32);
    quit->setStyleSheet(
        "QPushButton { background: rgba(255,255,255,0.08); border-radius: 9px; }"
        "QPushButton:hover { background: rgba(255,255,255,0.14); }"
        "QPushButton:focus { border: 2px solid #0a84ff; }");
    connect(quit, &QPushButton::clicked, this, [this] {
        if (actions_.quit) actions_.quit();
    });
    layout->addWidget(quit);

    connect(tabs_, &TabBar::selected, this, [this](PanelTab) { redraw(); });
    connect(updates_, &UpdateModel::changed, this, [this] {
        about_->refresh();
        redraw();
    });
    redraw();
}

void PanelView::setRows(const std::vector<DeviceRow>& rows) {
    rows_ = rows;
    redraw();
}

void PanelView::setExtensionEnabled(bool enabled) {
    extensionEnabled_ = enabled;
    redraw();
}

void PanelView::setPreferences(bool openAtLogin, bool autoMount) {
    settings_->set(openAtLogin, autoMount);
}

void PanelView::select(PanelTab tab) {
    tabs_->select(tab);
    redraw();
}

void PanelView::redraw() {
    summary_->setText(QString::fromStdString(statusSummary(extensionEnabled_, rows_.size())));
    tabs_->setDotted(updates_->available() ? std::set{PanelTab::about} : std::set<PanelTab>{});
    devices_->set(rows_, extensionEnabled_);
    devices_->setVisible(tab() == PanelTab::devices);
    settings_->setVisible(tab() == PanelTab::settings);
    about_->setVisible(tab() == PanelTab::about);
}

bool PanelView::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // Rows, confirmations and tabs change what the panel holds; a window then takes the
    // height of its content.
    if (event->type() == QEvent::LayoutRequest && isWindow() && !fitPending_) {
        // After this pass the rows' own layouts have settled; measure then.
        fitPending_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                fitPending_ = false;
                const int height = std::max(layout()->totalHeightForWidth(width()),
                                            layout()->totalSizeHint().height());
                if (height > 0 && height != this->height()) resize(width(), height);
            },
            Qt::QueuedConnection);
    }
    return handled;
}

void PanelView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Nothing looks focused until the keyboard is used: Tab then enters the controls.
    setFocus(Qt::OtherFocusReason);
    QCoreApplication::postEvent(this, new QEvent(QEvent::LayoutRequest));
}

}  // namespace brisvale::ui
