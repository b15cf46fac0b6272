#pragma once
// The panel: header with the summary line, the tab bar, the selected tab (Devices, Settings,
// About) and Quit. It draws what it is given and hands every request to PanelActions.

#include <QPushButton>
#include <QWidget>
#include <set>
#include <string>
#include <vector>

#include "app/model/DeviceRow.h"
#include "app/ui/Components.h"
#include "app/ui/DevicesTab.h"
#include "app/ui/PanelSource.h"
#include "app/update/UpdateModel.h"

class QVariantAnimation;

namespace brisvale::ui {

enum class PanelTab { devices, settings, about };
QString tabTitle(PanelTab tab);
std::string tabSymbol(PanelTab tab);

// Equal cells with title and symbol; the selected one is semibold over a sliding highlight; a
// dotted tab carries a blue dot named "Update available".
class TabBar : public QWidget {
    Q_OBJECT
  public:
    TabBar(std::vector<PanelTab> tabs, QWidget* parent = nullptr);
    // A click slides the highlight over; a selection made by the app jumps.
    void select(PanelTab tab, bool animated = false);
    void setDotted(const std::set<PanelTab>& dotted);
    PanelTab selection() const { return selection_; }
    QPushButton* cell(PanelTab tab) const;

  signals:
    void selected(PanelTab tab);

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    void restyle();

    std::vector<PanelTab> tabs_;
    std::vector<QPushButton*> cells_;
    std::vector<QWidget*> dots_;
    PanelTab selection_ = PanelTab::devices;
    qreal highlight_ = 0;  // left edge of the highlight, in cells
    QVariantAnimation* slide_;
};

// Open at login and Auto-mount.
class SettingsTab : public QWidget {
  public:
    explicit SettingsTab(const PanelActions& actions, QWidget* parent = nullptr);
    void set(bool openAtLogin, bool autoMount);
    Toggle* openAtLogin() const { return openAtLogin_; }
    Toggle* autoMount() const { return autoMount_; }

  private:
    Toggle* openAtLogin_;
    Toggle* autoMount_;
};

// Update card while a newer release is known, name and version, and the three link rows.
class AboutTab : public QWidget {
  public:
    AboutTab(const PanelActions& actions, UpdateModel* updates, const BundleInfo& bundle,
             QWidget* parent = nullptr);
    void refresh();  // after the update model changed

  private:
    const PanelActions& actions_;
    UpdateModel* updates_;
    QWidget* updateCard_;
    QLabel* updateTitle_;
    QLabel* updateDetail_;
    LinkRow* checkRow_;
};

class PanelView : public QWidget {
  public:
    // `updates` outlives the panel. `actions` is copied.
    PanelView(PanelActions actions, UpdateModel* updates, BundleInfo bundle,
              QWidget* parent = nullptr);

    // What the model holds now; each call redraws.
    void setRows(const std::vector<DeviceRow>& rows);
    void setExtensionEnabled(bool enabled);
    void setPreferences(bool openAtLogin, bool autoMount);
    void select(PanelTab tab);

    PanelTab tab() const { return tabs_->selection(); }
    DevicesTab* devicesTab() const { return devices_; }
    SettingsTab* settingsTab() const { return settings_; }
    AboutTab* aboutTab() const { return about_; }
    TabBar* tabBar() const { return tabs_; }
    QLabel* summary() const { return summary_; }

  protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void redraw();

    PanelActions actions_;
    UpdateModel* updates_;
    std::vector<DeviceRow> rows_;
    bool extensionEnabled_ = true;
    bool fitPending_ = false;
    QLabel* summary_;
    TabBar* tabs_;
    DevicesTab* devices_;
    SettingsTab* settings_;
    AboutTab* about_;
};

}  // namespace brisvale::ui
