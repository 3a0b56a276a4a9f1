// The dialog "导出设置" that the disk-device export runs: the drives that can
// be opened for writing, one of which the user chooses as the target, and
// the sector at which writing starts.
#pragma once

#include "ui/luns/ExportDialogs.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

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

// A drive that opened for writing, as the list shows it.
struct CDriveRow {
    QString name; // "\\.\Physicaldrive%d"
    QString info; // description, size and device node
};

class CExportSeting : public QDialog {
    Q_OBJECT

public:
    // Asked for drive numbers 128 down to 0; nothing for a drive that does
    // not open.
    using DriveProbe = std::function<std::optional<CDriveRow>(int number)>;

    explicit CExportSeting(QWidget* parent = nullptr);
    CExportSeting(QWidget* parent, DriveProbe probe);

    // The probe dialogs built without one use; empty restores the real one,
    // which opens each drive read-write and reads its size and model.
    static void SetDriveProbe(DriveProbe probe);
    static std::optional<CDriveRow> ProbeDrive(int number);

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
    // DDX for the offset: false, after saying why, when the text is refused.
    bool SaveOffset();

    DriveProbe m_probe;
    QTableWidget* m_list = nullptr;
    QLabel* m_label = nullptr;
    QLineEdit* m_edit = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    CDiskTarget m_target;
};

} // namespace corvane::ui
