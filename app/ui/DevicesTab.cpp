#include "app/ui/DevicesTab.h"

#include <QSignalBlocker>

#include <QBoxLayout>
#include <QDesktopServices>
#include <QGraphicsOpacityEffect>
#include <QPainter>
#include <QPushButton>

namespace brisvale::ui {

namespace {

void open(const PanelActions& actions, const QUrl& url) {
    if (actions.openUrl)
        actions.openUrl(url);
    else
        QDesktopServices::openUrl(url);
}

QPushButton* button(const QString& text, const char* prominence = nullptr) {
    auto* b = new Keyed<QPushButton>(text);
    if (prominence) b->setProperty("prominent", prominence);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

}  // namespace

ModeSwitch::ModeSwitch(std::function<void(bool)> choose, QWidget* parent)
    : QWidget(parent),
      choose_(std::move(choose)),
      readOnly_(button("Read-only")),
      readWrite_(button("Read && write")) {  // "&&": a lone "&" marks a mnemonic
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->setSpacing(3);
    readWrite_->setAccessibleName("Read & write");
    for (QPushButton* segment : {readOnly_, readWrite_}) {
        segment->setFixedHeight(22);
        segment->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        segment->setIconSize(QSize(12, 12));
        layout->addWidget(segment, 1);
    }
    // Tapping the selected segment does nothing.
    connect(readOnly_, &QPushButton::clicked, this, [this] {
        if (writable_ && choose_) choose_(false);
    });
    connect(readWrite_, &QPushButton::clicked, this, [this] {
        if (!writable_ && choose_) choose_(true);
    });
    restyle();
}

void ModeSwitch::set(bool writable, bool canWrite) {
    if (writable == writable_ && canWrite == canWrite_) return;
    writable_ = writable;
    canWrite_ = canWrite;
    restyle();
}

void ModeSwitch::restyle() {
    auto style = [](QPushButton* b, bool selected, const QString& background, const char* sym) {
        const QColor text = selected ? primaryText() : secondaryText();
        b->setStyleSheet(
            QString("QPushButton { background:%1; color:%2; font-weight:%3;"
                    " border-radius:7px; padding:0 6px; }")
                .arg(selected ? background : "transparent", text.name(), selected ? "600" : "400"));
        b->setIcon(symbolIcon(sym, text, 12));
        b->setAccessibleDescription(selected ? "Selected" : "");
    };
    style(readOnly_, !writable_, "rgba(255,255,255,0.16)", "lock");
    style(readWrite_, writable_, "rgba(255,159,10,0.32)", "pencil");
    readWrite_->setEnabled(canWrite_ || writable_);
    readWrite_->setToolTip(canWrite_ ? "Allow changes to the files on this phone"
                                     : "This phone doesn't allow changes over USB.");
    update();
}

void ModeSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 56));
    p.drawRoundedRect(QRectF(rect()), 9, 9);
}

AskToWrite::AskToWrite(std::function<void()> cancel, std::function<void()> allow, QWidget* parent)
    : QWidget(parent),
      title_(new QLabel),
      cancel_(button("Cancel")),
      allow_(button("Allow changes", "orange")) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    title_->setFont(semibold(captionFont()));
    title_->setWordWrap(true);
    auto* body = new QLabel(
        "Files on the phone can then be edited, moved and deleted from this computer. The phone "
        "remounts, and goes back to read-only when you unplug it.");
    body->setWordWrap(true);
    body->setFont(captionFont());
    body->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    layout->addWidget(title_);
    layout->addWidget(body);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    buttons->addWidget(allow_);
    layout->addLayout(buttons);
    connect(cancel_, &QPushButton::clicked, this, [cancel] { cancel(); });
    connect(allow_, &QPushButton::clicked, this, [allow] { allow(); });
}

void AskToWrite::setName(const QString& name) {
    title_->setText("Allow changes to " + name + "?");
}

DeviceRowView::DeviceRowView(const PanelActions& actions,
                             std::function<const DeviceRow*(const std::string&)> current,
                             QWidget* parent)
    : QWidget(parent),
      actions_(actions),
      current_(std::move(current)),
      header_(new InfoRow("iphone", Tint::plain, {}, {})),
      bar_(new QWidget),
      dim_(new QGraphicsOpacityEffect),
      mode_(new ModeSwitch([this](bool writable) {
          if (writable) {
              setAsking(true);  // read-write only after the confirmation
          } else if (actions_.setWritable) {
              actions_.setWritable(row_.record.id, false);
          }
      })),
      show_(button({})),
      ask_(new AskToWrite([this] { setAsking(false); },
                          [this] {
                              setAsking(false);
                              if (actions_.setWritable) actions_.setWritable(row_.record.id, true);
                          })) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(header_);
    auto* barLayout = new QHBoxLayout(bar_);
    barLayout->setContentsMargins(51, 0, 11, 10);
    barLayout->setSpacing(8);
    barLayout->addWidget(mode_, 1);
    show_->setIcon(symbolIcon("folder", primaryText(), 14));
    show_->setToolTip("Show in Files");
    show_->setAccessibleName("Show in Files");
    show_->setFixedSize(30, 28);
    barLayout->addWidget(show_);
    connect(show_, &QPushButton::clicked, this, [this] { showFolder(); });
    layout->addWidget(bar_);
    dim_->setOpacity(0.45);
    dim_->setEnabled(false);
    bar_->setGraphicsEffect(dim_);
    auto* askBox = new QWidget;
    auto* askLayout = new QVBoxLayout(askBox);
    askLayout->setContentsMargins(51, 0, 11, 10);
    askLayout->addWidget(ask_);
    layout->addWidget(askBox);
    askBox->hide();
    bar_->hide();
}

Toggle* DeviceRowView::mountSwitch() const {
    return accessoryKind_ == Accessory::mountSwitch ? static_cast<Toggle*>(header_->accessory())
                                                    : nullptr;
}

void DeviceRowView::setRow(const DeviceRow& row) {
    const bool wasMounted = hasRow_ && is<phase::Mounted>(row_.status.phase);
    row_ = row;
    hasRow_ = true;
    const QString title = QString::fromStdString(rowTitle(row));
    header_->setSymbol(rowSymbol(row), rowTint(row));
    header_->setTitle(title);
    header_->setSubtitle(statusLine(row));

    const Accessory kind = rowAccessory(row);
    if (kind != accessoryKind_) {
        accessoryKind_ = kind;
        if (kind == Accessory::spinner) {
            header_->setAccessory(new Spinner);
        } else if (kind == Accessory::mountSwitch) {
            auto* toggle = new Toggle({});
            // The switch follows the model: a flip only asks, and the next row sets it. toggled,
            // not clicked: assistive technology toggles without a click.
            connect(toggle, &QCheckBox::toggled, this, [this, toggle](bool on) {
                const QSignalBlocker quiet(toggle);
                toggle->setChecked(is<phase::Mounted>(row_.status.phase));
                if (actions_.setMounted) actions_.setMounted(row_.record.id, on);
            });
            header_->setAccessory(toggle);
        } else {
            header_->setAccessory(nullptr);
        }
    }
    if (Toggle* toggle = mountSwitch()) {
        const QSignalBlocker quiet(toggle);
        toggle->setChecked(is<phase::Mounted>(row.status.phase));
        toggle->setAccessibleName("Mounted: " + title);
    }
    mode_->set(row.status.writable, row.status.canWrite);
    show_->setAccessibleDescription(title);
    ask_->setName(title);
    if (wasMounted && !is<phase::Mounted>(row.status.phase)) asking_ = false;
    refreshBar();
}

void DeviceRowView::setAsking(bool asking) {
    asking_ = asking;
    refreshBar();
}

void DeviceRowView::refreshBar() {
    const bool shown = showsActionBar(row_);
    bar_->setVisible(shown && !asking_);
    bar_->setEnabled(!row_.status.remounting);
    dim_->setEnabled(row_.status.remounting);
    ask_->parentWidget()->setVisible(shown && asking_);
    if (asking_ && shown) ask_->cancelButton()->setFocus();
}

void DeviceRowView::showFolder() {
    const DeviceRow* now = current_ ? current_(row_.record.id) : nullptr;
    if (!now || !now->folder) return;
    const std::filesystem::path folder = actions_.volumesFolder / *now->folder;
    open(actions_, QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

SetupCard::SetupCard(std::function<void()> openSetup, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(new SectionLabel("Setup"));
    auto* card = new Card(52);
    auto* inner = new QWidget;
    auto* stack = new QVBoxLayout(inner);
    stack->setContentsMargins(14, 14, 14, 14);
    stack->setSpacing(12);
    auto* top = new QHBoxLayout;
    top->setSpacing(10);
    auto* warning = new QLabel;
    warning->setPixmap(symbol("exclamationmark.triangle", colour(Tint::orange), 22));
    top->addWidget(warning, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    auto* title = new QLabel("Allow Brisvale in setup");
    title->setFont(semibold(font()));
    auto* body = new QLabel(
        "Brisvale's file system helper must be installed once before phones can "
        "appear in Files.");
    body->setWordWrap(true);
    body->setFont(captionFont());
    body->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    texts->addWidget(title);
    texts->addWidget(body);
    top->addLayout(texts, 1);
    stack->addLayout(top);
    auto* open = button("Open setup", "true");
    connect(open, &QPushButton::clicked, this, [openSetup] { openSetup(); });
    stack->addWidget(open);
    auto* path = new QLabel("Help › Setting up the file system helper");
    path->setWordWrap(true);
    path->setStyleSheet(QString("color:%1").arg(secondaryText().name()));
    stack->addWidget(path);
    card->addRow(inner);
    layout->addWidget(card);
    layout->addWidget(
        new Hint("This panel switches to your devices on its own once setup is done."));
}

DevicesTab::DevicesTab(const PanelActions& actions, QWidget* parent)
    : QWidget(parent),
      actions_(actions),
      setup_(new SetupCard([this] { open(actions_, actions_.setupPage); })),
      empty_(new QWidget),
      list_(new QWidget),
      listCard_(new Card(52)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(setup_);

    auto* emptyLayout = new QVBoxLayout(empty_);
    emptyLayout->setContentsMargins(0, 0, 0, 0);
    emptyLayout->setSpacing(6);
    emptyLayout->addWidget(new SectionLabel("Devices"));
    auto* emptyCard = new Card(52);
    auto* connect =
        new QLabel("Connect an Android phone with a USB cable and choose File transfer.");
    connect->setAlignment(Qt::AlignCenter);
    connect->setWordWrap(true);
    connect->setFont(calloutFont());
    connect->setStyleSheet(QString("color:%1; margin:18px;").arg(secondaryText().name()));
    emptyCard->addRow(connect);
    emptyLayout->addWidget(emptyCard);
    layout->addWidget(empty_);

    auto* listLayout = new QVBoxLayout(list_);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->setSpacing(6);
    listLayout->addWidget(new SectionLabel("Devices"));
    listLayout->addWidget(listCard_);
    listLayout->addWidget(
        new Hint("Phones always mount read-only; unplugging switches back. Mounted phones also "
                 "appear in Files under Locations."));
    layout->addWidget(list_);
    set({}, true);
}

DeviceRowView* DevicesTab::rowView(const std::string& id) const {
    auto found = views_.find(id);
    return found == views_.end() ? nullptr : found->second;
}

void DevicesTab::set(const std::vector<DeviceRow>& rows, bool extensionEnabled) {
    rows_ = rows;
    std::map<std::string, DeviceRowView*> kept;
    int index = 0;
    for (const DeviceRow& row : rows_) {
        DeviceRowView* view = rowView(row.record.id);
        if (!view) {
            view = new DeviceRowView(actions_, [this](const std::string& id) -> const DeviceRow* {
                for (const DeviceRow& r : rows_)
                    if (r.record.id == id) return &r;
                return nullptr;
            });
            listCard_->addRow(view);
        } else {
            views_.erase(row.record.id);
        }
        listCard_->placeRow(view, index++);
        view->setRow(row);
        kept[row.record.id] = view;
    }
    for (auto& [id, view] : views_) delete view;  // rows that left the model
    views_ = std::move(kept);

    setup_->setVisible(!extensionEnabled);
    empty_->setVisible(extensionEnabled && rows_.empty());
    list_->setVisible(extensionEnabled && !rows_.empty());
}

}  // namespace brisvale::ui
