// The source selection dialog (dialog 310, "选择源"): the physical drives
// that open, probed 0 to 127 in increasing order, and image files the user
// appends. On OK every row that is checked or selected is handed to the
// source tree as WM_ADD_SOURCE, once each, top to bottom; Cancel hands on
// nothing.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <vector>

QT_BEGIN_NAMESPACE
class QPushButton;
class QTableWidget;
QT_END_NAMESPACE

namespace corvane::ui {

inline constexpr int IDD_CHOOSE_DEVICE = 310;
inline constexpr int IDC_DEVICE_LIST = 1000;
inline constexpr int IDC_ADD_IMAGE = 1004;
inline constexpr int IDC_ATTACH_MAP = 1005;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Drive numbers the dialog probes: 0 to kProbedDrives - 1.
inline constexpr int kProbedDrives = 128;

class CChooseDevice : public QDialog {
    Q_OBJECT

public:
    // Builds the dialog and fills the list (OnInitDialog).
    explicit CChooseDevice(QWidget* parent = nullptr);
    ~CChooseDevice() override;

    // Runs the dialog modally: QDialog::Accepted after OK.
    int DoModal();

    // Adds the columns and one row per drive that opens.
    bool OnInitDialog();
    // Button 1004: appends one image row (full path, unchecked).
    void OnAddImage();
    // Attaches a ddrescue mapfile to the selected image row.
    void OnAttachMap();
    // The mapfile attached to row (empty: none).
    QString RowMap(int row) const;
    // Button 1: hands on the chosen rows, then closes with OK.
    void OnOK();

    // The names OnOK hands on now, in order.
    QStringList ChosenSources() const;
    // The mapfile of each chosen source, in the same order (empty: none).
    QStringList ChosenMaps() const;
    // Rows checked or selected, top to bottom.
    std::vector<int> ChosenRows() const;

    QTableWidget* List() const { return m_list; }
    QPushButton* AddImageButton() const { return m_addImage; }
    QPushButton* AttachMapButton() const { return m_attachMap; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }

    void accept() override;

private:
    // Appends a row whose column 0 is name and column 1 info.
    int AppendRow(const QString& name, const QString& info);

    QTableWidget* m_list;
    QPushButton* m_addImage;
    QPushButton* m_attachMap;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

// The main frame's add-device command: runs the dialog over parent.
void RunChooseDevice(QWidget* parent);

} // namespace corvane::ui
