// The report that ends every export, finished, stopped or failed: how many
// of the LUN's bytes were read, rebuilt from parity and lost, the lost LUN
// byte ranges (to select and copy), the target's hash when one was taken,
// and where the damage map was written. It replaces the separate boxes of
// success, stop and failure, so a partial recovery is never told apart from
// a clean one only by a line in a box.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

QT_BEGIN_NAMESPACE
class QLabel;
class QPushButton;
class QTableWidget;
QT_END_NAMESPACE

namespace corvane {
struct ExportReport;
}

namespace corvane::ui {

// What the report shows; filled from the export's outcome (ToDamageReport)
// and the view's own knowledge of the run (LUN, target, map).
struct DamageReportData {
    enum class State { Finished, Stopped, Failed };
    State state = State::Finished;
    QString failure; // Failed: the code's text, then what the engine said

    std::uint32_t group = 0;
    std::uint32_t id = 0;
    QString target; // as the user named it

    std::uint64_t bytesTotal = 0;   // the LUN's bytes the export was to write
    std::uint64_t bytesWritten = 0; // of those, on the target now
    // A resumed export: the LUN's first bytes, on the target from an earlier
    // run (read, rebuilt and lost below count this run's bytes; lost ranges
    // and the lost total are the whole LUN's, from the map).
    std::uint64_t resumedFrom = 0;
    std::uint64_t bytesRead = 0;    // read from the members as they were
    std::uint64_t bytesRebuilt = 0; // rebuilt from parity
    std::uint64_t bytesLost = 0;    // could not be recovered: zeros on the target
    // LUN byte ranges written as zeros: (offset, length), sorted.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> lostRanges;

    QString hash;       // the target's hash as "SHA-256 <hex>"; empty: none taken
    QString mapPath;    // where the damage map was written; empty: nowhere yet
    QString mapProblem; // why it was not written, if it was meant to be

    // Every byte is on the target and none had to be zero-filled.
    bool Success() const { return state == State::Finished && bytesLost == 0; }
};

// The one place the export's report becomes what the window shows. Stripe
// counts stand for their 8 MiB each until the export counts bytes.
DamageReportData ToDamageReport(const corvane::ExportReport& report, bool ok, const QString& failure);

// The first line of the report: "导出成功！" only when nothing was lost.
QString DamageHeadline(const DamageReportData& data);

// The lost ranges as text, one "0xOFFSET 0xLENGTH" line each (the mapfile's
// notation), for the clipboard.
QString LostRangesText(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges);

class CDamageReport : public QDialog {
    Q_OBJECT

public:
    // Saves the damage map where the user chooses; returns the path, or
    // empty when nothing was saved. Without one the dialog offers no save.
    using SaveMap = std::function<QString(QWidget* parent)>;

    CDamageReport(const DamageReportData& report, SaveMap saveMap, QWidget* parent = nullptr);

    const DamageReportData& Data() const { return m_data; }
    QLabel* Headline() const { return m_headline; }
    QLabel* Details() const { return m_details; }
    QLabel* MapLabel() const { return m_map; }
    QTableWidget* Ranges() const { return m_ranges; }
    QPushButton* CopyButton() const { return m_copy; }
    QPushButton* SaveMapButton() const { return m_saveMap; }
    QPushButton* CloseButton() const { return m_close; }

    // Copies the selected lost ranges, or all of them when none is
    // selected. Returns what was copied.
    QString CopyRanges();

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void ShowMapLine();
    void OnSaveMap();

    DamageReportData m_data;
    SaveMap m_saveMapFn;
    QLabel* m_headline = nullptr;
    QLabel* m_details = nullptr;
    QLabel* m_rangesLabel = nullptr;
    QTableWidget* m_ranges = nullptr;
    QLabel* m_map = nullptr;
    QPushButton* m_copy = nullptr;
    QPushButton* m_saveMap = nullptr;
    QPushButton* m_close = nullptr;
};

} // namespace corvane::ui
