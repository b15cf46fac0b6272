#pragma once
// The Devices tab: one row per phone with its mount switch, the read-only / read-write switch
// (read-write only after a confirmation), Show in Files, and the setup card while the file
// system helper is missing.

#include <QWidget>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/model/DeviceRow.h"
#include "app/ui/Components.h"
#include "app/ui/PanelSource.h"

class QGraphicsOpacityEffect;
class QPushButton;

namespace brisvale::ui {

// Two segments, "Read-only" and "Read & write". `choose` gets the value of a segment tapped
// while not selected; "Read & write" is disabled on a read-only phone that cannot write.
class ModeSwitch : public QWidget {
  public:
    explicit ModeSwitch(std::function<void(bool writable)> choose, QWidget* parent = nullptr);
    void set(bool writable, bool canWrite);
    QPushButton* readOnly() const { return readOnly_; }
    QPushButton* readWrite() const { return readWrite_; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    void restyle();

    std::function<void(bool)> choose_;
    QPushButton* readOnly_;
    QPushButton* readWrite_;
    bool writable_ = false;
    bool canWrite_ = false;
};

// "Allow changes to NAME?" with Cancel and Allow changes, in place of a row's action bar.
class AskToWrite : public QWidget {
  public:
    AskToWrite(std::function<void()> cancel, std::function<void()> allow,
               QWidget* parent = nullptr);
    void setName(const QString& name);
    QPushButton* allowButton() const { return allow_; }
    QPushButton* cancelButton() const { return cancel_; }

  private:
    QLabel* title_;
    QPushButton* cancel_;
    QPushButton* allow_;
};

// One phone: the header row and, while mounted or remounting, the action bar.
class DeviceRowView : public QWidget {
  public:
    // `current` answers the model's row for an id now (Show in Files looks it up at click time).
    DeviceRowView(const PanelActions& actions,
                  std::function<const DeviceRow*(const std::string&)> current,
                  QWidget* parent = nullptr);
    void setRow(const DeviceRow& row);
    const DeviceRow& row() const { return row_; }
    bool asking() const { return asking_; }

    Toggle* mountSwitch() const;  // nullptr when the accessory is not the switch
    ModeSwitch* modeSwitch() const { return mode_; }
    AskToWrite* askToWrite() const { return ask_; }
    QPushButton* showInFiles() const { return show_; }

  private:
    void setAsking(bool asking);
    void refreshBar();
    void showFolder();

    const PanelActions& actions_;
    std::function<const DeviceRow*(const std::string&)> current_;
    DeviceRow row_;
    bool asking_ = false;
    bool hasRow_ = false;
    InfoRow* header_;
    Accessory accessoryKind_ = Accessory::none;
    QWidget* bar_;
    QGraphicsOpacityEffect* dim_;  // a disabled bar looks disabled
    ModeSwitch* mode_;
    QPushButton* show_;
    AskToWrite* ask_;
};

// What the Devices tab shows while the file system helper is not usable.
class SetupCard : public QWidget {
  public:
    explicit SetupCard(std::function<void()> openSetup, QWidget* parent = nullptr);
};

class DevicesTab : public QWidget {
  public:
    explicit DevicesTab(const PanelActions& actions, QWidget* parent = nullptr);
    // Rows in the model's order; row views are kept by record id, so a row's confirmation
    // survives redraws.
    void set(const std::vector<DeviceRow>& rows, bool extensionEnabled);
    DeviceRowView* rowView(const std::string& id) const;

  private:
    const PanelActions& actions_;
    std::vector<DeviceRow> rows_;
    std::map<std::string, DeviceRowView*> views_;
    SetupCard* setup_;
    QWidget* empty_;
    QWidget* list_;
    Card* listCard_;
};

}  // namespace brisvale::ui
