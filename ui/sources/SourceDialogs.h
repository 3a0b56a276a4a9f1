// What the source side asks the system and the user through: the drive
// probe, the open-file dialog for image files and the message boxes of the
// source tree and its analysis. Each one is a replaceable function, so a
// test (or the screenshot run) can answer without real drives or a window
// that waits for a person.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

namespace corvane::ui {

struct CSourceDialogs {
    // Opens drive n ("\\.\Physicaldrive<n>") read-only. The text for the
    // dialog's column 1 when it opens, none when it does not.
    std::function<std::optional<QString>(int n)> probeDrive;
    // The open-file dialog for one image file: its full path, empty on
    // cancel.
    std::function<QString(QWidget* parent)> imageFile;
    // The open-file dialog for the GNU ddrescue mapfile of an image: its
    // full path, empty on cancel.
    std::function<QString(QWidget* parent, const QString& image)> mapFile;
    // A message box with an OK button and no icon, owned by owner.
    std::function<void(QWidget* owner, const QString& text, const QString& caption)> messageBox;

    // The real drives and the dialogs a person answers.
    static CSourceDialogs Defaults();
    // The set in use; starts as Defaults().
    static CSourceDialogs& Current();
    // Replaces the set; functions left empty keep their defaults.
    static void Install(const CSourceDialogs& dialogs);
};

// Opens drive n read-only through JDisk and describes it: the /dev node the
// name resolves to, its size and the drive's own description, so drives of
// one make can be told apart. None when the drive does not open.
std::optional<QString> ProbeDrive(int n);

// Column 1 of a drive row: node, size, then the description (may be
// empty), comma-separated.
QString DriveInfoText(const QString& description, const QString& node, std::uint64_t bytes);

// A size for people: bytes below 1 KiB, else KiB, MiB, GiB or TiB with one
// decimal.
QString HumanSize(std::uint64_t bytes);

// The ddrescue mapfile lying beside an image (IMAGE.map, then
// IMAGE.mapfile) that parses as one; empty when there is none.
QString MapfileBeside(const QString& image);
// Why path is not a mapfile ("FILE line N: ..."); empty when it is one.
QString MapfileProblem(const QString& path);

// The caption that goes with every text of the error codes.
QString SourceCaption();

} // namespace corvane::ui
