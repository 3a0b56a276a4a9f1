// The dialog "导出设置" that the disk-device export runs: the drives there are,
// one of which the user chooses as the target, and the sector at which
// writing starts. Drives are probed read-only (the list also shows drives
// that are evidence); those the export could not write to are greyed with
// the reason in their row: read-only, a source, mounted or in use, too small
// for the LUN at the start sector typed. Nothing is opened for writing here.
#pragma once

#include "export/ExportTarget.h"
#include "ui/luns/ExportDialogs.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

QT_BEGIN_NAMESPACE
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
QT_END_NAMESPACE

namespace corvane::ui {

inline constexpr int IDD_EXPORT_SETTING = 313;
inline constexpr int IDC_TARGET_LIST = 1005;
inline constexpr int IDC_OFFSET = 1006;

inline constexpr std::uint64_t kSectorSize = 512;

// A drive that opened for reading, as the list shows it.
struct CDriveRow {
    QString name;           // "\\.\Physicaldrive%d"
    QString info;           // description, size and device node
    std::uint64_t size = 0; // bytes
    // Why the export cannot write to it whatever the offset (read-only, a
    // source, mounted or in use); empty when it can.
    QString unusable;
};

class CExportSeting : public QDialog {
    Q_OBJECT

public:
    // Asked for drive numbers 128 down to 0; nothing for a drive that does
    // not open.
    using DriveProbe = std::function<std::optional<CDriveRow>(int number)>;

    // needs: the sources and the LUN's size, for greying the drives that
    // cannot take it.
    explicit CExportSeting(QWidget* parent = nullptr, const CTargetNeeds& needs = {});
    CExportSeting(QWidget* parent, DriveProbe probe, const CTargetNeeds& needs = {});

    // The probe dialogs built without one use; empty restores the real one.
    static void SetDriveProbe(DriveProbe probe);
    // Opens drive number read-only and reads its size, model and node, and
    // whether it could be written: a read-only device, one without write
    // rights, or one that TargetConflict refuses (a source, mounted, swap,
    // held) is unusable.
    static std::optional<CDriveRow> ProbeDrive(int number,
                                               const std::vector<corvane::SourceIdentity>& sources);

    // Why row cannot be the target now (its own reason, or too small for
    // the LUN from the sector typed); empty when it can.
    QString RowProblem(int row) const;

    enum class OffsetParse { Ok, NoNumber, Negative, TooLarge };
    // Reads the offset text as a signed decimal: leading blanks and a sign
    // are accepted, reading stops at the first non-digit, a digit is needed.
    // Negative numbers, numbers beyond 64 bits and sector numbers whose byte
    // position (x 512) does not fit a signed 64-bit offset are refused.
    static OffsetParse ParseOffset(const QString& text, std::int64_t& sectors);

    // After OK: the chosen drive and where writing starts.
    CDiskTarget Target() const { return m_target; }
    QString m_strDevice;
    std::int64_t m_offset = 0;

    QTableWidget* List() const { return m_list; }
    QLineEdit* OffsetEdit() const { return m_edit; }
    QPushButton* OkButton() const { return m_ok; }
    // Rows checked or selected, top to bottom.
    QList<int> ChosenRows() const;

    void accept() override;

private:
    void BuildControls();
    bool OnInitDialog();
    // Greys (and unchooses) the rows that cannot take the LUN from the
    // start sector typed now.
    void UpdateRowStates();
    // DDX for the offset: false, after saying why, when the text is refused.
    bool SaveOffset();

    DriveProbe m_probe;
    CTargetNeeds m_needs;
    std::vector<CDriveRow> m_rows; // as listed, top to bottom
    QTableWidget* m_list = nullptr;
    QLabel* m_label = nullptr;
    QLineEdit* m_edit = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    CDiskTarget m_target;
};

} // namespace corvane::ui
