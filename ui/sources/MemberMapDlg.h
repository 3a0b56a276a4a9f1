// The member map of the last analysis, as a window: one row per RAID row
// and one column per member-map column, the source that holds each slot in
// its cell. Slots without a member are marked, slots whose disk id another
// source carries too are highlighted, and the sources that hold no slot are
// listed below the grid with the reason. Opened from "编辑" → "成员映射" or
// the source tree's context menu.
#pragma once

#include "engine/Report.h"

#include <QDialog>
#include <QString>

QT_BEGIN_NAMESPACE
class QLabel;
class QTableWidget;
class QTableWidgetItem;
QT_END_NAMESPACE

namespace corvane::ui {

class CMemberMapDlg : public QDialog {
    Q_OBJECT

public:
    // The colours a cell or a source row can carry.
    static QColor MissingColour();  // a slot no source holds
    static QColor ConflictColour(); // a slot whose disk id two sources carry; a source left out
    static QColor ExcludedColour(); // a slot whose source the user excluded

    CMemberMapDlg(const corvane::AnalysisSummary& summary, QWidget* parent = nullptr);

    // Rows are the RAID rows that name a slot, in order; columns 0 to the
    // last one named.
    QTableWidget* Grid() const { return m_grid; }
    // The sources that hold no slot: source, reason.
    QTableWidget* Unused() const { return m_unused; }
    // The RAID row shown in grid row i.
    int RaidRow(int i) const { return m_rows.value(i, -1); }

Q_SIGNALS:
    // The "exclude" check of a member's cell changed (member: index into
    // the summary's members, which is the source's place).
    void excludeToggled(int member, bool excluded);

private:
    void OnCellChanged(QTableWidgetItem* item);

    QTableWidget* m_grid;
    QTableWidget* m_unused;
    QLabel* m_unusedLabel;
    QList<int> m_rows;
};

// Why a source holds no slot, as the window says it: the reason alone, and
// a line that names the source first.
QString SourceWarningReason(const corvane::AnalysisSummary& summary, const corvane::SourceWarning& warning);
QString SourceWarningLine(const corvane::AnalysisSummary& summary, const corvane::SourceWarning& warning);

// The file name of a source path (a drive name stays whole).
QString SourceShortName(const std::string& utf8Path);

} // namespace corvane::ui
