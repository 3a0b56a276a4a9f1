// The modal pieces an export asks the user through: file dialogs, the export
// settings dialog, message boxes and the LUN list's popup menu. Each one is
// a replaceable function, so a test (or the screenshot run) can answer them
// without a window that waits for a person.
#pragma once

#include "export/ExportTarget.h"
#include "ui/luns/DamageReport.h"

#include <QMessageBox>
#include <QPoint>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

QT_BEGIN_NAMESPACE
class QAction;
class QMenu;
class QWidget;
QT_END_NAMESPACE

namespace corvane::ui {

// One message box.
struct CMessageRequest {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    // A further button beside the standard ones (empty: none). Pressing it
    // ends the box with kExtraButton.
    QString extraButton = QString();
    // A question that only holds while this object lives: when it is
    // destroyed the box closes by itself and ends with kWithdrawn (a
    // question whose answer no longer matters must not stay up).
    QPointer<QObject> withdrawnWith = nullptr;
};
inline constexpr int kExtraButton = -1;
inline constexpr int kWithdrawn = -2;

// What the export asks of a target disk: it must not be a source, and it
// must hold the LUN from the start sector on.
struct CTargetNeeds {
    std::vector<corvane::SourceIdentity> sources;
    std::uint64_t bytes = 0; // the LUN's bytes; 0: size not checked
};

// What the export settings dialog gives back on OK.
struct CDiskTarget {
    QString device;            // drive name, as listed ("\\.\Physicaldrive3")
    QString info;              // description, size and node, as listed
    std::int64_t sectors = 0;  // start sector, not negative
    std::uint64_t startOffset = 0; // sectors x 512
};

struct CExportDialogs {
    // Save dialog for an image file; it confirms replacing a file itself.
    // Empty on cancel.
    std::function<QString(QWidget* parent)> imageFile;
    // Save dialog for a damage map, proposing suggested. Empty on cancel.
    std::function<QString(QWidget* parent, const QString& suggested)> mapFile;
    // Folder dialog for a mount point. Empty on cancel.
    std::function<QString(QWidget* parent)> mountFolder;
    // Open dialog for the map of an export to resume. Empty on cancel.
    std::function<QString(QWidget* parent)> resumeMapFile;
    // The export settings dialog, modally; false on cancel.
    std::function<bool(QWidget* parent, const CTargetNeeds& needs, CDiskTarget& out)> diskTarget;
    // A message box; returns the standard button pressed, or kExtraButton.
    std::function<int(QWidget* parent, const CMessageRequest& request)> messageBox;
    // The report that ends every export (modal). saveMap, when set, saves
    // the damage map where the user chooses.
    std::function<void(QWidget* parent, const DamageReportData& data,
                       const CDamageReport::SaveMap& saveMap)>
        damageReport;
    // Shows a popup menu at a screen position and returns the chosen entry
    // (nullptr when dismissed).
    std::function<QAction*(QMenu* menu, const QPoint& globalPos)> trackPopupMenu;

    // The dialogs a person answers.
    static CExportDialogs Defaults();
    // The set in use; starts as Defaults().
    static CExportDialogs& Current();
    // Replaces the set; functions left empty keep their defaults.
    static void Install(const CExportDialogs& dialogs);
};

// Shorthands through Current().
int ShowMessage(QWidget* parent, const CMessageRequest& request);

// A size for people: GiB with one decimal, MiB below one GiB.
QString FormatBytes(std::uint64_t bytes);

// The program's name: caption of the framework's own message boxes.
QString AppCaption();
// The caption that goes with the error codes' texts.
QString CodeCaption();

} // namespace corvane::ui
