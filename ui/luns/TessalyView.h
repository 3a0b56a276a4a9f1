// The right pane of the main window: the list of the LUNs an analysis found.
// One model is shown either as a report (a table with columns) or as icons,
// small icons or a list, as the toolbar's view-style buttons choose; rows,
// selection and commands are the model's and survive every switch.
#pragma once

#include "ui/common/CmdTarget.h"

#include <QStackedWidget>

#include <cstdint>

QT_BEGIN_NAMESPACE
class QListView;
class QStandardItemModel;
class QTableView;
QT_END_NAMESPACE

namespace corvane::ui {

// Display modes (the type bits of the list's style).
inline constexpr std::uint32_t LVS_ICON = 0x0000;
inline constexpr std::uint32_t LVS_REPORT = 0x0001;
inline constexpr std::uint32_t LVS_SMALLICON = 0x0002;
inline constexpr std::uint32_t LVS_LIST = 0x0003;
inline constexpr std::uint32_t LVS_TYPEMASK = 0x0003;

class CTessalyView : public QStackedWidget, public CCmdTarget {
    Q_OBJECT

public:
    explicit CTessalyView(QWidget* parent = nullptr);
    ~CTessalyView() override;

    // One of LVS_ICON, LVS_SMALLICON, LVS_LIST, LVS_REPORT (other bits are
    // ignored). Starts in report mode.
    void SetViewMode(std::uint32_t mode);
    std::uint32_t GetViewMode() const { return m_mode; }
    // Lines the icons up on their grid (icon and small-icon modes only).
    void Arrange();

    QStandardItemModel* Model() const { return m_model; }
    QTableView* ReportView() const { return m_report; }
    QListView* IconView() const { return m_icons; }

private:
    std::uint32_t m_mode = LVS_REPORT;
    QStandardItemModel* m_model;
    QTableView* m_report;
    QListView* m_icons;
};

} // namespace corvane::ui
